#pragma once

// The counter record the multi-process tests share: the count at the front,
// its complement at the back, so a record torn between the two shows.

#include <cstdint>
#include <string>
#include <vector>

#include "Application/IData.h"
#include "framework/data/data_platform.h"
#include "framework/data/data_tree.h"

namespace Application::data_test {

// Shared blocks and lock files that a host with this pid left in the system.
inline int ObjectsOf(uint32_t pid) {
    int found = 0;
    for (const std::string& name : data_platform::ListRuntimeFiles()) {
        uint32_t p;
        if ((ParseBlockName(name, &p) || ParseLockName(name, &p)) && p == pid) ++found;
    }
    return found;
}

constexpr uint32_t kCounterNode = 1;
inline const std::vector<uint32_t> kCounterLayout = {8, 4000, 8};

// Reads the counter; false when the record is torn.
inline bool ReadCounter(IDataVisitor* visitor, int64_t* count) {
    IDataObject* object = visitor->GetObject(kCounterNode);
    object->SetLayout(kCounterLayout);
    const int64_t value = object->GetInt64(0, 0);
    const int64_t check = object->GetInt64(2, ~int64_t{0});
    *count = value;
    return check == ~value;
}

// Adds one; false (and nothing written) when the record is torn.
inline bool Increment(IDataVisitor* visitor) {
    int64_t value;
    if (!ReadCounter(visitor, &value)) return false;
    IDataObject* object = visitor->GetObject(kCounterNode);
    object->SetInt64(0, value + 1);
    object->SetInt64(2, ~(value + 1));
    return true;
}

}  // namespace Application::data_test
