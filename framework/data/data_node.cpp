#include "framework/data/data_node.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "framework/data/data_platform.h"

namespace Application {

uint64_t RecordSizeOf(const std::vector<uint32_t>& sizes) {
    uint64_t total = kRecordHeaderSize;
    for (uint32_t size : sizes) {
        if (size == 0) return 0;
        total += size;
        if (total > kMaxRecordSize) return 0;
    }
    return total;
}

// ---- CDataObject ----

void CDataObject::SetLayout(const std::vector<uint32_t>& sizes) {
    if (!HasLayout()) {
        const uint64_t record_size = RecordSizeOf(sizes);
        if (record_size == 0) return;
        sizes_ = sizes;
        offsets_.resize(sizes.size());
        uint32_t offset = 0;
        for (size_t i = 0; i < sizes.size(); ++i) {
            offsets_[i] = offset;
            offset += sizes[i];
        }
        record_.assign(static_cast<size_t>(record_size) + 1, 0);
    }
    if (!dirty_) Pull();
}

void CDataObject::MarkSet(uint32_t index) {
    if (index < kMaskedFields) {
        uint64_t mask;
        std::memcpy(&mask, record_.data(), sizeof mask);
        mask |= uint64_t{1} << index;
        std::memcpy(record_.data(), &mask, sizeof mask);
    }
    MarkDirty();
}

template <typename T>
void CDataObject::SetScalar(uint32_t index, T value) {
    if (index >= FieldCount() || sizes_[index] != sizeof(T)) return;
    std::memcpy(record_.data() + FieldOffset(index), &value, sizeof(T));
    MarkSet(index);
}

void CDataObject::SetString(uint32_t index, const char* text) {
    if (index >= FieldCount()) return;
    const uint32_t field_size = sizes_[index];
    const size_t length = text ? std::min<size_t>(std::strlen(text), field_size - 1) : 0;
    char* field = record_.data() + FieldOffset(index);
    if (length) std::memcpy(field, text, length);
    field[length] = '\0';
    MarkSet(index);
}

const char* CDataObject::SetFieldOrNull(uint32_t index) const {
    if (index >= FieldCount()) return nullptr;
    if (index >= kMaskedFields) return nullptr;
    uint64_t mask;
    std::memcpy(&mask, record_.data(), sizeof mask);
    if (!(mask & (uint64_t{1} << index))) return nullptr;
    return record_.data() + FieldOffset(index);
}

// Reads sizeof(T) bytes from the field's start, as wide getters on narrow
// fields do; a read that would pass the record's end gives the default.
template <typename T>
T CDataObject::GetScalar(uint32_t index, T def) {
    const char* field = SetFieldOrNull(index);
    if (!field) return def;
    if (FieldOffset(index) + uint64_t{sizeof(T)} > RecordSize()) return def;
    T value;
    std::memcpy(&value, field, sizeof(T));
    return value;
}

#define VELMORA_SCALAR(T)                                         \
    template void CDataObject::SetScalar<T>(uint32_t index, T value); \
    template T CDataObject::GetScalar<T>(uint32_t index, T def);
VELMORA_SCALAR(int32_t)
VELMORA_SCALAR(uint32_t)
VELMORA_SCALAR(int64_t)
VELMORA_SCALAR(uint64_t)
VELMORA_SCALAR(float)
VELMORA_SCALAR(double)
#undef VELMORA_SCALAR
template void CDataObject::SetScalar<uint8_t>(uint32_t index, uint8_t value);

const char* CDataObject::GetString(uint32_t index, const char* def) {
    const char* field = SetFieldOrNull(index);
    return field ? field : def;
}

bool CDataObject::GetBool(uint32_t index, bool def) {
    const char* field = SetFieldOrNull(index);
    return field ? *field != 0 : def;
}

void CDataObject::Unset(uint32_t index) {
    if (index >= FieldCount()) return;
    if (index < kMaskedFields) {
        uint64_t mask;
        std::memcpy(&mask, record_.data(), sizeof mask);
        mask &= ~(uint64_t{1} << index);
        std::memcpy(record_.data(), &mask, sizeof mask);
    }
    MarkDirty();
}

void CDataObject::UnsetAll() {
    if (!HasLayout()) return;
    std::memset(record_.data(), 0, kRecordHeaderSize);
    MarkDirty();
}

void CDataObject::LoadRecord(const char* src) {
    if (!HasLayout() || !src) return;
    std::memcpy(record_.data(), src, RecordSize());
    dirty_ = false;
}

void CDataObject::StoreRecord(char* dst) {
    if (!HasLayout() || !dst) return;
    std::memcpy(dst, record_.data(), RecordSize());
    dirty_ = false;
}

void CDataObject::LoadRecordBytes(const char* src, uint32_t length) {
    if (HasLayout()) {
        const uint32_t copied = std::min(length, RecordSize());
        std::memcpy(record_.data(), src, copied);
        // Called once per element of an array: no call for nothing.
        if (copied < RecordSize()) std::memset(record_.data() + copied, 0, RecordSize() - copied);
    }
    dirty_ = false;
}

void CDataObject::StoreRecordBytes(char* dst, uint32_t length) {
    const uint32_t copied = std::min(length, RecordSize());
    if (copied) std::memcpy(dst, record_.data(), copied);
    if (copied < length) std::memset(dst + copied, 0, length - copied);
    dirty_ = false;
}

bool CDataObject::SaveToFile(const char* path) {
    if (!HasLayout()) return false;
    return data_platform::WriteWholeFile(path, record_.data(), RecordSize());
}

void CDataObject::LoadFromFile(const char* path) {
    if (!HasLayout()) return;
    std::string bytes;
    if (!data_platform::ReadWholeFile(path, &bytes) || bytes.size() != RecordSize()) return;
    LoadRecord(bytes.data());
    MarkDirty();
}

// ---- CDataArray ----

std::unique_ptr<CDataObject> CDataArray::NewElement() {
    auto element = std::make_unique<CDataObject>(id_);
    if (has_layout_) element->SetLayout(sizes_);
    element->SetDirtyHint(&elements_hint_);
    return element;
}

IDataObject* CDataArray::Get(uint32_t index) {
    return index < elements_.size() ? elements_[index].get() : nullptr;
}

IDataObject* CDataArray::Find(uintptr_t identity) {
    for (auto& element : elements_) {
        if (element->Identity() == identity) return element.get();
    }
    return nullptr;
}

IDataObject* CDataArray::Append() {
    elements_.push_back(NewElement());
    MarkDirty();
    return elements_.back().get();
}

void CDataArray::RemoveAt(uint32_t index) {
    if (index >= elements_.size()) return;
    elements_.erase(elements_.begin() + index);
    MarkDirty();
}

void CDataArray::Remove(uintptr_t identity) {
    for (auto it = elements_.begin(); it != elements_.end(); ++it) {
        if ((*it)->Identity() == identity) {
            elements_.erase(it);
            MarkDirty();
            return;
        }
    }
}

void CDataArray::RemoveAll() {
    elements_.clear();
    elements_hint_.raised = false;
    MarkDirty();
}

bool CDataArray::AnyElementDirty() {
    if (!elements_hint_.raised) return false;
    for (const auto& element : elements_) {
        if (element->IsDirty()) return true;
    }
    elements_hint_.raised = false;
    return false;
}

void CDataArray::SetLayout(const std::vector<uint32_t>& sizes) {
    if (!has_layout_) {
        const uint64_t record_size = RecordSizeOf(sizes);
        if (record_size != 0) {
            sizes_ = sizes;
            has_layout_ = true;
            element_record_size_ = static_cast<uint32_t>(record_size);
            // Elements appended before the layout was known take it now, so
            // every element has the array's record size.
            for (auto& element : elements_) {
                const bool was_dirty = element->IsDirty();
                element->SetLayout(sizes_);
                element->SetDirty(was_dirty);
            }
        }
    }
    if (dirty_) return;
    if (AnyElementDirty()) {
        MarkDirty();
        return;
    }
    Pull();
}

void CDataArray::LoadRecords(const char* src) {
    if (!src) return;
    uint32_t count;
    std::memcpy(&count, src, sizeof count);
    while (elements_.size() < count) elements_.push_back(NewElement());
    if (elements_.size() > count) elements_.resize(count);
    const char* record = src + 4;
    for (auto& element : elements_) {
        element->LoadRecordBytes(record, element_record_size_);
        record += element_record_size_;
    }
    elements_hint_.raised = false;
    dirty_ = false;
}

void CDataArray::StoreRecords(char* dst) {
    if (!dst) return;
    const uint32_t count = Size();
    std::memcpy(dst, &count, sizeof count);
    char* record = dst + 4;
    for (auto& element : elements_) {
        element->StoreRecordBytes(record, element_record_size_);
        record += element_record_size_;
    }
    elements_hint_.raised = false;
    dirty_ = false;
}

bool CDataArray::AcceptsArrayForm(const char* payload, uint64_t length) const {
    if (length < 4) return false;
    uint32_t count;
    std::memcpy(&count, payload, sizeof count);
    return length == 4 + uint64_t{count} * element_record_size_;
}

void CDataArray::SaveToFile(const char* path) {
    std::vector<char> bytes(static_cast<size_t>(ArrayFormSize()));
    // Saving is not publishing: the dirty flags stay as they were.
    const bool was_dirty = dirty_;
    std::vector<bool> element_dirty;
    for (auto& element : elements_) element_dirty.push_back(element->IsDirty());
    StoreRecords(bytes.data());
    dirty_ = was_dirty;
    for (size_t i = 0; i < elements_.size(); ++i) elements_[i]->SetDirty(element_dirty[i]);
    data_platform::WriteWholeFile(path, bytes.data(), bytes.size());
}

void CDataArray::LoadFromFile(const char* path) {
    std::string bytes;
    if (!data_platform::ReadWholeFile(path, &bytes)) return;
    if (!AcceptsArrayForm(bytes.data(), bytes.size())) return;
    LoadRecords(bytes.data());
    MarkDirty();
}

}  // namespace Application
