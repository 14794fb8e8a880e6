#pragma once

// The one writer and reader of the framework's little-endian payloads:
// u32 and u64 numbers and length-prefixed texts (a u32 byte count, then the
// bytes, no terminator), back to back. Notification payloads, protocol
// messages and state snapshots are all built and parsed here.

#include <cstdint>
#include <string>
#include <string_view>

namespace Tools::detail {

class PayloadWriter {
public:
    PayloadWriter& U32(uint32_t value) { return Bytes(value, 4); }
    PayloadWriter& I32(int32_t value) { return U32(static_cast<uint32_t>(value)); }
    PayloadWriter& U64(uint64_t value) { return Bytes(value, 8); }
    PayloadWriter& Text(std::string_view text) {
        U32(static_cast<uint32_t>(text.size()));
        bytes_.append(text.data(), text.size());
        return *this;
    }
    // A null or empty datum is an empty text.
    PayloadWriter& Text(const char* data, int32_t length) {
        return Text(data && length > 0 ? std::string_view(data, static_cast<size_t>(length)) : std::string_view());
    }
    // Bytes without a count (a message's trailing data).
    PayloadWriter& Raw(std::string_view bytes) {
        bytes_.append(bytes.data(), bytes.size());
        return *this;
    }
    std::string Take() { return std::move(bytes_); }

private:
    PayloadWriter& Bytes(uint64_t value, int count) {
        for (int i = 0; i < count; ++i) bytes_.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
        return *this;
    }
    std::string bytes_;
};

// Reads with a cursor, checking every length against what remains. Once a
// field does not fit, every later read fails too, so a payload is either
// read whole or rejected whole. Nothing is allocated for an announced
// length before the bytes are there.
class PayloadReader {
public:
    explicit PayloadReader(std::string_view bytes) : bytes_(bytes) {}

    bool U32(uint32_t& value) {
        uint64_t wide = 0;
        if (!Bytes(wide, 4)) return false;
        value = static_cast<uint32_t>(wide);
        return true;
    }
    bool I32(int32_t& value) {
        uint32_t raw = 0;
        if (!U32(raw)) return false;
        value = static_cast<int32_t>(raw);
        return true;
    }
    bool U64(uint64_t& value) { return Bytes(value, 8); }
    bool Text(std::string& text) {
        std::string_view view;
        if (!Text(view)) return false;
        text.assign(view.data(), view.size());
        return true;
    }
    // A view into the reader's bytes, valid as long as they are.
    bool Text(std::string_view& text) {
        uint32_t length = 0;
        if (!U32(length)) return false;
        if (bytes_.size() - pos_ < length) return Fail();
        text = bytes_.substr(pos_, length);
        pos_ += length;
        return true;
    }
    bool ok() const { return !failed_; }
    size_t remaining() const { return bytes_.size() - pos_; }

private:
    bool Bytes(uint64_t& value, int count) {
        if (failed_ || bytes_.size() - pos_ < static_cast<size_t>(count)) return Fail();
        value = 0;
        for (int i = 0; i < count; ++i)
            value |= static_cast<uint64_t>(static_cast<unsigned char>(bytes_[pos_ + static_cast<size_t>(i)])) << (8 * i);
        pos_ += static_cast<size_t>(count);
        return true;
    }
    bool Fail() {
        failed_ = true;
        return false;
    }
    std::string_view bytes_;
    size_t pos_ = 0;
    bool failed_ = false;
};

}  // namespace Tools::detail
