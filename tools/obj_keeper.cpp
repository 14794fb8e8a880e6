#include "Tools/obj_keeper.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace Tools {
namespace {

struct LiveList {
    std::recursive_mutex lock;
    std::vector<uintptr_t> addresses;
};

// Never destroyed: objects with static storage may deregister during exit.
LiveList& ObjListInst() {
    static LiveList* list = new LiveList;
    return *list;
}

}  // namespace

ObjKeeper::ObjKeeper() {
    LiveList& list = ObjListInst();
    std::lock_guard<std::recursive_mutex> guard(list.lock);
    list.addresses.push_back(getObjID());
}

ObjKeeper::ObjKeeper(const ObjKeeper&) {}

ObjKeeper& ObjKeeper::operator=(const ObjKeeper&) { return *this; }

ObjKeeper::~ObjKeeper() {
    LiveList& list = ObjListInst();
    std::lock_guard<std::recursive_mutex> guard(list.lock);
    std::erase(list.addresses, getObjID());
}

uintptr_t ObjKeeper::getObjID() const { return reinterpret_cast<uintptr_t>(this); }

bool ObjKeeper::isAlive() const { return IsAlive(getObjID()); }

bool ObjKeeper::IsAlive(uintptr_t object_id) {
    LiveList& list = ObjListInst();
    std::lock_guard<std::recursive_mutex> guard(list.lock);
    return std::find(list.addresses.begin(), list.addresses.end(), object_id) != list.addresses.end();
}

}  // namespace Tools
