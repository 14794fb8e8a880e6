#pragma once

// The receive side of the framing: cuts a byte stream into frames of a
// 4-byte little-endian signed length and that many payload bytes, optionally
// preceded by a 4-byte handshake word. It knows no sockets: a caller receives
// into WriteSpace and reports the count with Commit (or copies bytes in with
// Feed), so the parser can be driven by tests and fuzzers alone.
//
// The peer is untrusted: negative lengths and lengths above kMaxFrameLength
// are errors, and memory for a long frame grows with the bytes that actually
// arrive, never with the announced length. Its storage grows by realloc,
// which moves pages rather than bytes at these sizes, and is handed to the
// sink whole (OnOwnedFrame) instead of being copied out.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

namespace Application::ipc {

// The bytes of one received frame, owned and movable, so a long frame can
// travel to the thread that handles it without being copied. The view may
// start past the first bytes (DropFront), e.g. after a header was read.
class FrameBytes {
public:
    FrameBytes() = default;
    FrameBytes(FrameBytes&&) noexcept = default;
    FrameBytes& operator=(FrameBytes&&) noexcept = default;
    // Copies exist only because tasks are copyable callables; moving is the rule.
    FrameBytes(const FrameBytes& other) : FrameBytes(Copy(other.data(), other.size())) {}
    FrameBytes& operator=(const FrameBytes& other) {
        if (this != &other) *this = Copy(other.data(), other.size());
        return *this;
    }
    // A copy of a short frame.
    static FrameBytes Copy(const char* data, size_t size);

    const char* data() const { return block_ ? block_.get() + offset_ : ""; }
    size_t size() const { return size_ - offset_; }
    bool empty() const { return size() == 0; }
    std::string_view view() const { return std::string_view(data(), size()); }
    operator std::string_view() const { return view(); }
    void DropFront(size_t count) { offset_ += count < size() ? count : size(); }

private:
    friend class FrameReader;
    struct FreeDeleter {
        void operator()(char* block) const { std::free(block); }
    };
    FrameBytes(std::unique_ptr<char, FreeDeleter> block, size_t size) : block_(std::move(block)), size_(size) {}

    std::unique_ptr<char, FreeDeleter> block_;
    size_t size_ = 0;
    size_t offset_ = 0;
};

class FrameSink {
public:
    // The 4-byte word sent before any frame; false refuses the connection.
    virtual bool OnHandshake(uint32_t id) = 0;
    // One whole frame; data is valid only during the call. False stops the stream.
    virtual bool OnFrame(const char* data, int length) = 0;
    // A long frame whose storage the reader hands over; by default it is
    // seen like any other frame.
    virtual bool OnOwnedFrame(FrameBytes&& frame) {
        return OnFrame(frame.data(), static_cast<int>(frame.size()));
    }

protected:
    ~FrameSink() = default;
};

class FrameReader {
public:
    static constexpr size_t kBufferSize = 8192;
    static constexpr size_t kLengthSize = 4;
    // Frames this long or longer cannot sit in the buffer with their prefix.
    static constexpr int32_t kLongFrame = static_cast<int32_t>(kBufferSize - kLengthSize);
    static constexpr int32_t kMaxFrameLength = 64 * 1024 * 1024;

    enum class Result {
        kOk,
        // The sink refused the handshake or stopped the stream.
        kStopped,
        // A negative length or one above kMaxFrameLength.
        kBadLength,
    };

    explicit FrameReader(bool expect_handshake = false) : awaiting_handshake_(expect_handshake) {}

    // Where the next received bytes go, and how many fit there (always > 0).
    // While a long frame is collected this is the frame's own storage, sized
    // to at most what remains of it, so no copy and no over-read happen.
    char* WriteSpace(size_t* room);
    // Accounts for `received` bytes written at WriteSpace and delivers every
    // frame they complete, in order. After a result other than kOk the
    // connection is to be dropped; the reader must be Reset before reuse.
    Result Commit(size_t received, FrameSink& sink);
    // Copies data in through WriteSpace/Commit, in as many steps as needed.
    Result Feed(const char* data, size_t size, FrameSink& sink);

    void Reset(bool expect_handshake);
    bool AwaitingHandshake() const { return awaiting_handshake_; }
    // Heap bytes held for a long frame (the fixed buffer not counted).
    size_t LongCapacity() const { return long_capacity_; }

private:
    using FreeDeleter = FrameBytes::FreeDeleter;

    Result ParseBuffer(FrameSink& sink);
    bool GrowLong(size_t wanted);
    void ReleaseLong();
    // Hands the completed long frame of length bytes to the sink; the next
    // long frame starts with fresh storage.
    bool DeliverLong(int32_t length, FrameSink& sink);

    char buffer_[kBufferSize];
    size_t fill_ = 0;
    bool awaiting_handshake_;
    // A long frame being collected: its length (0 when none) and the bytes so far.
    int32_t long_length_ = 0;
    size_t long_have_ = 0;
    size_t long_capacity_ = 0;
    std::unique_ptr<char, FreeDeleter> long_buffer_;
};

// Little-endian 32-bit helpers shared by both directions of the wire.
inline void StoreLe32(char* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((value >> (8 * i)) & 0xFFu);
}

inline uint32_t LoadLe32(const char* in) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(static_cast<unsigned char>(in[i])) << (8 * i);
    return value;
}

}  // namespace Application::ipc
