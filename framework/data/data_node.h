#pragma once

// The plain nodes of the data tree: a fixed-layout record (CDataObject) and
// an ordered list of records sharing one layout (CDataArray). They know
// nothing of processes; the synchronised subclasses give Pull and Push their
// meaning. Not thread-safe: the tree is used only under IData::Visit.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "Application/IData.h"

namespace Application {

// Record byte form: an 8-byte set mask, then the fields back to back.
constexpr uint32_t kRecordHeaderSize = 8;
constexpr uint32_t kMaskedFields = 64;
// Larger layouts are refused: every size and offset must fit 32 bits with
// room for the array count and the block header.
constexpr uint64_t kMaxRecordSize = 1u << 30;

constexpr uint32_t kObjectKindId = 1;
constexpr uint32_t kArrayKindId = 2;

// Raised whenever a node below it turns dirty, so that looking for dirty
// nodes costs nothing while there are none. It may stay raised when nothing
// is dirty any more (a flag cleared by a load); whoever finds that lowers it.
struct DirtyHint {
    bool raised = false;
    DirtyHint* parent = nullptr;
    void Raise() {
        for (DirtyHint* hint = this; hint; hint = hint->parent) hint->raised = true;
    }
};

// 8 + sum of sizes, or 0 when the layout is refused (a zero-sized field or
// a record above kMaxRecordSize).
uint64_t RecordSizeOf(const std::vector<uint32_t>& sizes);

class CDataObject : public IDataObject {
public:
    explicit CDataObject(uint32_t id) : id_(id) {}

    uint32_t KindId() override { return kObjectKindId; }

    void SetString(uint32_t index, const char* text) override;
    void SetInt(uint32_t index, int32_t value) override { SetScalar(index, value); }
    void SetUInt(uint32_t index, uint32_t value) override { SetScalar(index, value); }
    void SetInt64(uint32_t index, int64_t value) override { SetScalar(index, value); }
    void SetUInt64(uint32_t index, uint64_t value) override { SetScalar(index, value); }
    void SetFloat(uint32_t index, float value) override { SetScalar(index, value); }
    void SetDouble(uint32_t index, double value) override { SetScalar(index, value); }
    void SetBool(uint32_t index, bool value) override { SetScalar(index, static_cast<uint8_t>(value ? 1 : 0)); }
    void SetLong(uint32_t index, int32_t value) override { SetScalar(index, value); }
    void SetULong(uint32_t index, uint32_t value) override { SetScalar(index, value); }

    const char* GetString(uint32_t index, const char* def) override;
    int32_t GetInt(uint32_t index, int32_t def) override { return GetScalar(index, def); }
    uint32_t GetUInt(uint32_t index, uint32_t def) override { return GetScalar(index, def); }
    int64_t GetInt64(uint32_t index, int64_t def) override { return GetScalar(index, def); }
    uint64_t GetUInt64(uint32_t index, uint64_t def) override { return GetScalar(index, def); }
    float GetFloat(uint32_t index, float def) override { return GetScalar(index, def); }
    double GetDouble(uint32_t index, double def) override { return GetScalar(index, def); }
    bool GetBool(uint32_t index, bool def) override;
    int32_t GetLong(uint32_t index, int32_t def) override { return GetScalar(index, def); }
    uint32_t GetULong(uint32_t index, uint32_t def) override { return GetScalar(index, def); }

    void Unset(uint32_t index) override;
    void UnsetAll() override;
    uintptr_t Identity() override { return reinterpret_cast<uintptr_t>(this); }
    uint32_t GetId() override { return id_; }
    void SetLayout(const std::vector<uint32_t>& sizes) override;
    // src must hold RecordSize() bytes.
    void LoadRecord(const char* src) override;
    void Pull() override {}
    // dst must have room for RecordSize() bytes.
    void StoreRecord(char* dst) override;
    void Push() override {}
    bool SaveToFile(const char* path) override;
    void LoadFromFile(const char* path) override;

    bool HasLayout() const { return !record_.empty(); }
    // 0 without a layout.
    uint32_t RecordSize() const { return record_.empty() ? 0 : static_cast<uint32_t>(record_.size() - 1); }
    uint32_t FieldCount() const { return static_cast<uint32_t>(sizes_.size()); }
    // Offset of field index within the record.
    uint32_t FieldOffset(uint32_t index) const { return kRecordHeaderSize + offsets_[index]; }
    bool IsDirty() const { return dirty_; }
    void SetDirty(bool dirty) {
        if (dirty) MarkDirty();
        else dirty_ = false;
    }
    // Raised (with its parents) whenever this node turns dirty; null for none.
    void SetDirtyHint(DirtyHint* hint) {
        hint_ = hint;
        if (dirty_ && hint_) hint_->Raise();
    }
    const char* RecordBytes() const { return record_.data(); }
    // Copy length bytes in or out, zero-filling or truncating against the
    // record's own size; used where the caller's stride may differ.
    void LoadRecordBytes(const char* src, uint32_t length);
    void StoreRecordBytes(char* dst, uint32_t length);

private:
    template <typename T>
    void SetScalar(uint32_t index, T value);
    template <typename T>
    T GetScalar(uint32_t index, T def);
    // The field's first byte when the index is in range and its bit is set.
    const char* SetFieldOrNull(uint32_t index) const;
    void MarkSet(uint32_t index);
    void MarkDirty() {
        dirty_ = true;
        if (hint_) hint_->Raise();
    }

    // Record size + 1: the extra byte stays zero, so a text read through
    // GetString ends inside the allocation even when a loaded record's last
    // field carries no terminator.
    std::vector<char> record_;
    std::vector<uint32_t> sizes_;
    std::vector<uint32_t> offsets_;
    DirtyHint* hint_ = nullptr;
    uint32_t id_;
    bool dirty_ = false;
};

class CDataArray : public IDataArray {
public:
    explicit CDataArray(uint32_t id) : id_(id) {}
    // Elements point at the array's hint: it must stay where it is.
    CDataArray(const CDataArray&) = delete;
    CDataArray& operator=(const CDataArray&) = delete;

    uint32_t KindId() override { return kArrayKindId; }

    IDataObject* At(uint32_t index) override { return Get(index); }
    IDataObject* Get(uint32_t index) override;
    IDataObject* Find(uintptr_t identity) override;
    uint32_t GetId() override { return id_; }
    uint32_t Size() override { return static_cast<uint32_t>(elements_.size()); }
    IDataObject* Append() override;
    void RemoveAt(uint32_t index) override;
    void Remove(uintptr_t identity) override;
    void RemoveAll() override;
    void SetLayout(const std::vector<uint32_t>& sizes) override;
    // src must hold a whole array form (its count decides how much is read).
    void LoadRecords(const char* src) override;
    void Pull() override {}
    // dst must have room for ArrayFormSize() bytes.
    void StoreRecords(char* dst) override;
    void Push() override {}
    void SaveToFile(const char* path) override;
    void LoadFromFile(const char* path) override;

    bool HasLayout() const { return has_layout_; }
    // 8 + sum of the element sizes (8 without a layout).
    uint32_t ElementRecordSize() const { return element_record_size_; }
    // 4 + count * element record size.
    uint64_t ArrayFormSize() const { return 4 + uint64_t{elements_.size()} * element_record_size_; }
    bool IsDirty() const { return dirty_; }
    void SetDirty(bool dirty) {
        if (dirty) MarkDirty();
        else dirty_ = false;
    }
    // Raised whenever the array or one of its elements turns dirty.
    void SetDirtyHint(DirtyHint* hint) {
        hint_ = hint;
        elements_hint_.parent = hint;
        if ((dirty_ || elements_hint_.raised) && hint_) hint_->Raise();
    }
    // Free while no element turned dirty since the last look.
    bool AnyElementDirty();
    // Whether a payload of length bytes is a well-formed array form for this
    // layout: at least the count, and exactly 4 + count * record size.
    bool AcceptsArrayForm(const char* payload, uint64_t length) const;

private:
    std::unique_ptr<CDataObject> NewElement();
    void MarkDirty() {
        dirty_ = true;
        if (hint_) hint_->Raise();
    }

    std::vector<uint32_t> sizes_;
    std::vector<std::unique_ptr<CDataObject>> elements_;
    DirtyHint* hint_ = nullptr;
    // Every element's hint; its parent is the array's own.
    DirtyHint elements_hint_;
    uint32_t id_;
    bool dirty_ = false;
    bool has_layout_ = false;
    uint32_t element_record_size_ = kRecordHeaderSize;
};

}  // namespace Application
