#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include <Application/InterfaceBase.h>

namespace Application {

// A node of the shared data tree. Nodes are used only inside IData::Visit.
class IDataBase {
public:
    virtual ~IDataBase() = default;
    // Equal for every object node, different for every array node.
    virtual uint32_t KindId() = 0;
};

// One fixed-layout record of numbered fields. Field i starts at
// 8 + sum(sizes[0..i-1]); the first 8 bytes are the set mask.
class IDataObject : public IDataBase {
public:
    virtual void SetString(uint32_t index, const char* text) = 0;
    virtual void SetInt(uint32_t index, int32_t value) = 0;
    virtual void SetUInt(uint32_t index, uint32_t value) = 0;
    virtual void SetInt64(uint32_t index, int64_t value) = 0;
    virtual void SetUInt64(uint32_t index, uint64_t value) = 0;
    virtual void SetFloat(uint32_t index, float value) = 0;
    virtual void SetDouble(uint32_t index, double value) = 0;
    virtual void SetBool(uint32_t index, bool value) = 0;
    virtual void SetLong(uint32_t index, int32_t value) = 0;
    virtual void SetULong(uint32_t index, uint32_t value) = 0;
    virtual const char* GetString(uint32_t index, const char* def) = 0;
    virtual int32_t GetInt(uint32_t index, int32_t def) = 0;
    virtual uint32_t GetUInt(uint32_t index, uint32_t def) = 0;
    virtual int64_t GetInt64(uint32_t index, int64_t def) = 0;
    virtual uint64_t GetUInt64(uint32_t index, uint64_t def) = 0;
    virtual float GetFloat(uint32_t index, float def) = 0;
    virtual double GetDouble(uint32_t index, double def) = 0;
    virtual bool GetBool(uint32_t index, bool def) = 0;
    virtual int32_t GetLong(uint32_t index, int32_t def) = 0;
    virtual uint32_t GetULong(uint32_t index, uint32_t def) = 0;
    virtual void Unset(uint32_t index) = 0;
    virtual void UnsetAll() = 0;
    virtual uintptr_t Identity() = 0;
    virtual uint32_t GetId() = 0;
    // The first layout given wins; a clean node is refreshed from the shared block.
    virtual void SetLayout(const std::vector<uint32_t>& sizes) = 0;
    virtual void LoadRecord(const char* src) = 0;
    virtual void Pull() = 0;
    virtual void StoreRecord(char* dst) = 0;
    virtual void Push() = 0;
    virtual bool SaveToFile(const char* path) = 0;
    virtual void LoadFromFile(const char* path) = 0;
};

// An ordered list of records sharing one layout. Array form: a 32-bit count
// followed by the element records.
class IDataArray : public IDataBase {
public:
    virtual IDataObject* At(uint32_t index) = 0;
    virtual IDataObject* Get(uint32_t index) = 0;
    virtual IDataObject* Find(uintptr_t identity) = 0;
    virtual uint32_t GetId() = 0;
    virtual uint32_t Size() = 0;
    virtual IDataObject* Append() = 0;
    virtual void RemoveAt(uint32_t index) = 0;
    virtual void Remove(uintptr_t identity) = 0;
    virtual void RemoveAll() = 0;
    virtual void SetLayout(const std::vector<uint32_t>& sizes) = 0;
    virtual void LoadRecords(const char* src) = 0;
    virtual void Pull() = 0;
    virtual void StoreRecords(char* dst) = 0;
    virtual void Push() = 0;
    virtual void SaveToFile(const char* path) = 0;
    virtual void LoadFromFile(const char* path) = 0;
};

// Hands out nodes by id; owns them.
class IDataVisitor {
public:
    virtual ~IDataVisitor() = default;
    virtual IDataObject* GetObject(uint32_t id) = 0;
    virtual IDataArray* GetArray(uint32_t id) = 0;
    virtual void Remove(uint32_t id) = 0;
    virtual void Clear() = 0;
};

using DataVisitCallback = std::function<void(IDataVisitor*)>;

// The tree shared by the host and its plugin processes. Visit runs the
// callback under a lock shared by all of them and then publishes every node
// the callback changed, all of them or (when they cannot be written) none.
// Node pointers are valid only inside the callback.
//
// When the shared lock cannot be had (the user's runtime directory is
// unusable, say), Visit does not call the callback at all: nothing is read,
// changed or published, the failure is written to the log once, and the next
// Visit tries again. A caller that must know whether its visit happened sets
// a flag inside its callback.
class IData : public InterfaceBase {
public:
    virtual void Visit(DataVisitCallback callback) = 0;
};

}  // namespace Application
