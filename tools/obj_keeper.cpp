#include "Tools/obj_keeper.h"

#include <mutex>
#include <unordered_set>

namespace Tools {
namespace {

static_assert(sizeof(uintptr_t) >= sizeof(uint64_t), "object ids are 64-bit");

struct LiveList {
    std::mutex lock;
    uint64_t last_id = 0;
    std::unordered_set<uint64_t> ids;
};

// Never destroyed: objects with static storage may deregister during exit.
LiveList& ObjListInst() {
    static LiveList* list = new LiveList;
    return *list;
}

}  // namespace

ObjKeeper::ObjKeeper() {
    LiveList& list = ObjListInst();
    std::lock_guard<std::mutex> guard(list.lock);
    id_ = ++list.last_id;
    list.ids.insert(id_);
}

ObjKeeper::ObjKeeper(const ObjKeeper&) {}

ObjKeeper& ObjKeeper::operator=(const ObjKeeper&) { return *this; }

ObjKeeper::~ObjKeeper() {
    if (id_ == 0) return;
    LiveList& list = ObjListInst();
    std::lock_guard<std::mutex> guard(list.lock);
    list.ids.erase(id_);
}

uintptr_t ObjKeeper::getObjID() const { return static_cast<uintptr_t>(id_); }

bool ObjKeeper::isAlive() const { return IsAlive(getObjID()); }

bool ObjKeeper::IsAlive(uintptr_t object_id) {
    if (object_id == 0) return false;
    LiveList& list = ObjListInst();
    std::lock_guard<std::mutex> guard(list.lock);
    return list.ids.count(static_cast<uint64_t>(object_id)) != 0;
}

}  // namespace Tools
