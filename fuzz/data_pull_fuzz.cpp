// Shared blocks can be written by any process of the user: whatever they
// hold, a Pull must read nothing outside the block and load only payloads
// that fit the node. The first input byte picks a node; the rest becomes the
// block's whole content.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "framework/data/data_platform.h"
#include "framework/data/data_tree.h"

using namespace Application;

namespace {

volatile uint64_t g_sink;

struct Target {
    bool array;
    std::vector<uint32_t> layout;
};

const Target kTargets[] = {
    {false, {4, 8, 32, 1}},
    {false, {1}},
    {true, {4}},
    {true, {8, 3}},
};

// One host tree for the whole run, in a private runtime directory.
CData& Tree() {
    static CData* tree = [] {
        static char dir[] = "/tmp/velmora-fuzz-data-XXXXXX";
        if (!mkdtemp(dir)) std::abort();
        setenv("XDG_RUNTIME_DIR", dir, 1);
        auto* created = new CData(data_platform::CurrentProcessId(), true);
        std::atexit([] {
            delete tree;
            rmdir((std::string(dir) + "/velmora").c_str());
            rmdir(dir);
        });
        return created;
    }();
    return *tree;
}

void WriteBlock(const std::string& name, const uint8_t* bytes, size_t size) {
    data_platform::RemoveRuntimeFile(name);
    data_platform::NamedFile file = data_platform::NamedFile::OpenRuntimeFile(name, true);
    if (!file.valid() || !file.EnsureSize(size)) std::abort();
    if (size == 0) return;
    data_platform::MappedRegion view = file.Map(size);
    if (!view.valid()) std::abort();
    std::memcpy(view.data(), bytes, size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 65536) return 0;
    CData& tree = Tree();
    const uint32_t pick = data[0] % 4;
    const Target& target = kTargets[pick];
    const uint32_t id = pick;
    // A fresh node, so it opens the block written below.
    tree.Visit([&](IDataVisitor* visitor) { visitor->Remove(id); });
    WriteBlock(BlockName(target.array ? "arr" : "obj", tree.HostPid(), id), data + 1, size - 1);
    tree.Visit([&](IDataVisitor* visitor) {
        if (target.array) {
            IDataArray* array = visitor->GetArray(id);
            array->SetLayout(target.layout);
            uint64_t sum = 0;
            for (uint32_t i = 0; i < array->Size(); ++i) {
                IDataObject* element = array->Get(i);
                sum += static_cast<uint64_t>(element->GetInt64(0, 0)) + element->GetUInt(0, 0);
                sum += std::strlen(element->GetString(static_cast<uint32_t>(target.layout.size() - 1), ""));
            }
            g_sink = g_sink + sum;
            // An accepted payload must be exactly the array form.
            const uint32_t record = 8 + target.layout[0] + (target.layout.size() > 1 ? target.layout[1] : 0);
            if (array->Size() > 0 && size - 1 < 4 + 4 + uint64_t{array->Size()} * record) std::abort();
        } else {
            IDataObject* object = visitor->GetObject(id);
            object->SetLayout(target.layout);
            for (uint32_t field = 0; field < target.layout.size(); ++field) {
                g_sink = g_sink + static_cast<uint64_t>(object->GetInt64(field, 1));
                // A text may run on into later fields, never past the record.
                if (std::strlen(object->GetString(field, "")) > 64) std::abort();
            }
        }
    });
    return 0;
}
