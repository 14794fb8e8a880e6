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

// Three counter nodes that every visit changes together; a reader that
// finds them different saw a mix of two publications. Large, so that a
// publication takes long enough for random kills to land inside it.
constexpr uint32_t kTripleNodes[3] = {11, 12, 13};
inline const std::vector<uint32_t> kTripleLayout = {8, 256 * 1024, 8};

// Reads the three; false when one is torn or they differ.
inline bool ReadTriple(IDataVisitor* visitor, int64_t* count) {
    int64_t values[3];
    for (int i = 0; i < 3; ++i) {
        IDataObject* object = visitor->GetObject(kTripleNodes[i]);
        object->SetLayout(kTripleLayout);
        values[i] = object->GetInt64(0, 0);
        if (object->GetInt64(2, ~int64_t{0}) != ~values[i]) return false;
    }
    *count = values[0];
    return values[0] == values[1] && values[1] == values[2];
}

// Adds one to all three; false (and nothing written) when they were mixed.
inline bool IncrementTriple(IDataVisitor* visitor) {
    int64_t value;
    if (!ReadTriple(visitor, &value)) return false;
    for (uint32_t id : kTripleNodes) {
        IDataObject* object = visitor->GetObject(id);
        object->SetInt64(0, value + 1);
        object->SetInt64(2, ~(value + 1));
    }
    return true;
}

// An array whose element i holds i + 1 in its first field, of 1 KB records
// so that growing it grows its block: a pull that missed a growth, or read
// a torn publication, shows as a wrong count or element.
constexpr uint32_t kGrowingNode = 30;
inline const std::vector<uint32_t> kGrowingLayout = {4, 1020};
constexpr uint32_t kGrowStep = 16;
constexpr uint32_t kGrowCap = 1024;

// The count a grow step leads to: larger each time, back to one step past
// the cap (the payload shrinks while the block keeps its size).
inline uint32_t NextGrowingCount(uint32_t count) {
    return count + kGrowStep > kGrowCap ? kGrowStep : count + kGrowStep;
}

// Reads the array; false when an element does not hold its index + 1.
inline bool ReadGrowing(IDataVisitor* visitor, uint32_t* count) {
    IDataArray* array = visitor->GetArray(kGrowingNode);
    array->SetLayout(kGrowingLayout);
    *count = array->Size();
    for (uint32_t i = 0; i < *count; ++i) {
        if (array->Get(i)->GetInt(0, 0) != static_cast<int32_t>(i + 1)) return false;
    }
    return true;
}

inline void ResizeGrowing(IDataVisitor* visitor, uint32_t count) {
    IDataArray* array = visitor->GetArray(kGrowingNode);
    array->SetLayout(kGrowingLayout);
    while (array->Size() > count) array->RemoveAt(array->Size() - 1);
    while (array->Size() < count) {
        const uint32_t index = array->Size();
        array->Append()->SetInt(0, static_cast<int32_t>(index + 1));
    }
}

}  // namespace Application::data_test
