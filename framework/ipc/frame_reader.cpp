#include "framework/ipc/frame_reader.h"

#include <algorithm>
#include <cstring>

namespace Application::ipc {

FrameBytes FrameBytes::Copy(const char* data, size_t size) {
    if (size == 0) return FrameBytes();
    std::unique_ptr<char, FreeDeleter> block(static_cast<char*>(std::malloc(size)));
    if (!block) return FrameBytes();
    std::memcpy(block.get(), data, size);
    return FrameBytes(std::move(block), size);
}

char* FrameReader::WriteSpace(size_t* room) {
    if (long_length_ > 0) {
        const size_t remaining = static_cast<size_t>(long_length_) - long_have_;
        if (long_have_ == long_capacity_) {
            // Grow by at most what already arrived (doubling), never by the announced rest.
            const size_t step = std::min(remaining, std::max(kBufferSize, long_have_));
            if (!GrowLong(long_have_ + step)) {
                *room = 0;
                return nullptr;
            }
        }
        *room = std::min(remaining, long_capacity_ - long_have_);
        return long_buffer_.get() + long_have_;
    }
    *room = kBufferSize - fill_;
    return buffer_ + fill_;
}

FrameReader::Result FrameReader::Commit(size_t received, FrameSink& sink) {
    if (long_length_ > 0) {
        long_have_ += received;
        if (long_have_ < static_cast<size_t>(long_length_)) return Result::kOk;
        const int32_t length = long_length_;
        return DeliverLong(length, sink) ? Result::kOk : Result::kStopped;
    }
    fill_ += received;
    return ParseBuffer(sink);
}

FrameReader::Result FrameReader::ParseBuffer(FrameSink& sink) {
    size_t pos = 0;
    Result result = Result::kOk;
    if (awaiting_handshake_) {
        if (fill_ < kLengthSize) return Result::kOk;
        awaiting_handshake_ = false;
        pos = kLengthSize;
        if (!sink.OnHandshake(LoadLe32(buffer_))) return Result::kStopped;
    }
    while (fill_ - pos >= kLengthSize) {
        const int32_t length = static_cast<int32_t>(LoadLe32(buffer_ + pos));
        if (length < 0 || length > kMaxFrameLength) return Result::kBadLength;
        const size_t available = fill_ - pos - kLengthSize;
        if (length >= kLongFrame) {
            const size_t take = std::min(available, static_cast<size_t>(length));
            if (!GrowLong(std::max(take, std::min(static_cast<size_t>(length), kBufferSize)))) {
                return Result::kBadLength;
            }
            std::memcpy(long_buffer_.get(), buffer_ + pos + kLengthSize, take);
            pos += kLengthSize + take;
            long_length_ = length;
            long_have_ = take;
            if (take < static_cast<size_t>(length)) break;
            // Whole already (only when it arrived together with its prefix).
            if (!DeliverLong(length, sink)) {
                result = Result::kStopped;
                break;
            }
            continue;
        }
        if (available < static_cast<size_t>(length)) break;
        pos += kLengthSize;
        const bool keep_going = sink.OnFrame(buffer_ + pos, length);
        pos += static_cast<size_t>(length);
        if (!keep_going) {
            result = Result::kStopped;
            break;
        }
    }
    if (pos > 0) {
        std::memmove(buffer_, buffer_ + pos, fill_ - pos);
        fill_ -= pos;
    }
    return result;
}

FrameReader::Result FrameReader::Feed(const char* data, size_t size, FrameSink& sink) {
    while (size > 0) {
        size_t room = 0;
        char* space = WriteSpace(&room);
        if (!space || room == 0) return Result::kBadLength;
        const size_t step = std::min(room, size);
        std::memcpy(space, data, step);
        data += step;
        size -= step;
        const Result result = Commit(step, sink);
        if (result != Result::kOk) return result;
    }
    return Result::kOk;
}

bool FrameReader::DeliverLong(int32_t length, FrameSink& sink) {
    long_length_ = 0;
    long_have_ = 0;
    long_capacity_ = 0;
    return sink.OnOwnedFrame(FrameBytes(std::move(long_buffer_), static_cast<size_t>(length)));
}

void FrameReader::Reset(bool expect_handshake) {
    fill_ = 0;
    awaiting_handshake_ = expect_handshake;
    long_length_ = 0;
    long_have_ = 0;
    ReleaseLong();
}

bool FrameReader::GrowLong(size_t wanted) {
    if (wanted <= long_capacity_) return true;
    char* grown = static_cast<char*>(std::realloc(long_buffer_.get(), wanted));
    if (!grown) return false;
    long_buffer_.release();
    long_buffer_.reset(grown);
    long_capacity_ = wanted;
    return true;
}

void FrameReader::ReleaseLong() {
    long_buffer_.reset();
    long_capacity_ = 0;
}

}  // namespace Application::ipc
