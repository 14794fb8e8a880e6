// State snapshots arrive from another process: the parser must stay within
// the bytes, and what it accepts must encode back to an equal parse.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "framework/data/data_sync.h"

using namespace Application::DataSync;

namespace {

class Sink final : public IDataSyncer {
public:
    std::string SaveState() override { return last; }
    void LoadState(const std::string& state) override { last = state; }
    std::string last;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::vector<SnapshotEntry> entries;
    if (ParseSnapshot(bytes, &entries)) {
        std::vector<std::pair<std::string, std::string>> copies;
        for (const SnapshotEntry& entry : entries) copies.emplace_back(entry.name, entry.state);
        const std::string encoded = EncodeSnapshot(copies);
        std::vector<SnapshotEntry> again;
        if (!ParseSnapshot(encoded, &again) || again.size() != entries.size()) std::abort();
        for (size_t i = 0; i < again.size(); ++i) {
            if (again[i].name != entries[i].name || again[i].state != entries[i].state) std::abort();
        }
    } else if (!entries.empty()) {
        std::abort();  // a rejected snapshot yields nothing
    }
    // The manager without an application applies inline.
    static DataSyncMgr* mgr = [] {
        static Sink a, b;
        auto* created = new DataSyncMgr(nullptr);
        created->Register("TimeMgr", &a);
        created->Register("UISkin", &b);
        return created;
    }();
    mgr->LoadState(std::string(bytes));
    return 0;
}
