#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace Application::ExePlugin {

// Messages from the plugin process to the host (and the two host-internal
// events that share the host's handler).
enum ClientToHostMessage : int32_t {
    kPing = -1,
    kSubscribe = 1,
    kUnsubscribe = 2,
    kNotify = 3,
    kCallPlugin = 4,
    kCallResultToHost = 5,
    kProcessExited = 6,  // host-internal
    kConnected = 7,      // host-internal
    kLog = 8,
    kDataSyncToHost = 9,
    kQuitApp = 10,
};

// Messages from the host to the plugin process (and the client-internal
// disconnection event).
enum HostToClientMessage : int32_t {
    kPong = -1,
    kDisconnected = 0,  // client-internal
    kCall = 1,
    kNotification = 2,
    kCallResultToClient = 3,
    kDataSyncToClient = 4,
    kExit = 5,
};

// Builds a payload: u32 little-endian numbers and length-prefixed texts,
// back to back.
class PayloadWriter {
public:
    PayloadWriter& U32(uint32_t value) {
        for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
        return *this;
    }
    PayloadWriter& I32(int32_t value) { return U32(static_cast<uint32_t>(value)); }
    PayloadWriter& Text(std::string_view text) {
        U32(static_cast<uint32_t>(text.size()));
        bytes_.append(text.data(), text.size());
        return *this;
    }
    PayloadWriter& Text(const char* data, int32_t length) {
        return Text(data && length > 0 ? std::string_view(data, static_cast<size_t>(length)) : std::string_view());
    }
    std::string Take() { return std::move(bytes_); }

private:
    std::string bytes_;
};

// Reads a payload with a cursor, checking every length against what remains.
// Once a field does not fit, every later read fails too, so a message is
// either read whole or rejected whole.
class PayloadReader {
public:
    explicit PayloadReader(std::string_view bytes) : bytes_(bytes) {}

    bool U32(uint32_t& value) {
        if (failed_ || bytes_.size() - pos_ < 4) return Fail();
        value = 0;
        for (int i = 0; i < 4; ++i)
            value |= static_cast<uint32_t>(static_cast<unsigned char>(bytes_[pos_ + static_cast<size_t>(i)])) << (8 * i);
        pos_ += 4;
        return true;
    }
    bool I32(int32_t& value) {
        uint32_t raw = 0;
        if (!U32(raw)) return false;
        value = static_cast<int32_t>(raw);
        return true;
    }
    bool Text(std::string& text) {
        uint32_t length = 0;
        if (!U32(length)) return false;
        if (bytes_.size() - pos_ < length) return Fail();
        text.assign(bytes_.data() + pos_, length);
        pos_ += length;
        return true;
    }
    bool ok() const { return !failed_; }

private:
    bool Fail() {
        failed_ = true;
        return false;
    }
    std::string_view bytes_;
    size_t pos_ = 0;
    bool failed_ = false;
};

// The fields of one message, as far as its id carries them. Which member
// holds what depends on the id (see the parsers below).
struct Message {
    int32_t id = 0;
    std::string name;     // module, or the called plugin's name
    int32_t number = 0;   // message id, command or level
    uint32_t token = 0;   // subscription key or call id
    std::string data;     // data, log text or the synchroniser's whole message

    bool operator==(const Message&) const = default;
};

// Reads a message the host receives (ClientToHostMessage). False for an id
// the host does not handle and for a payload too short for its fields: such
// a message is rejected whole. Bytes after the last field are ignored.
bool ParseHostMessage(int32_t id, std::string_view payload, Message& out);
// The same for a message the plugin process receives (HostToClientMessage).
bool ParseClientMessage(int32_t id, std::string_view payload, Message& out);
// The payload that the parsers read back as message (for the round trip).
std::string EncodeHostMessage(const Message& message);
std::string EncodeClientMessage(const Message& message);

// One frame: the message id, then the payload.
inline std::string Frame(int32_t id, std::string_view payload) {
    PayloadWriter writer;
    writer.I32(id);
    std::string frame = writer.Take();
    frame.append(payload.data(), payload.size());
    return frame;
}

// Frames of 4 bytes or more carry a message; shorter ones are dropped.
inline bool DecodeFrame(const char* data, int length, int32_t& id, std::string_view& payload) {
    if (!data || length < 4) return false;
    PayloadReader reader(std::string_view(data, 4));
    reader.I32(id);
    payload = std::string_view(data + 4, static_cast<size_t>(length - 4));
    return true;
}

}  // namespace Application::ExePlugin
