#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "framework/ipc/frame_reader.h"
#include "tools/payload.h"

namespace Application::ExePlugin {

// Messages from the plugin process to the host. ProcessExited and Connected
// name the host's own events; they never travel on the wire, and a frame
// carrying them is not acted on.
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

// Messages from the host to the plugin process. Disconnected names the
// plugin process's own event (an empty frame from the endpoint); a frame
// carrying id 0 is not acted on.
enum HostToClientMessage : int32_t {
    kPong = -1,
    kDisconnected = 0,  // client-internal
    kCall = 1,
    kNotification = 2,
    kCallResultToClient = 3,
    kDataSyncToClient = 4,
    kExit = 5,
};

// The framework's one payload writer and reader.
using PayloadWriter = Tools::detail::PayloadWriter;
using PayloadReader = Tools::detail::PayloadReader;

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

// The most payload one message can carry: a frame holds the 4-byte id and
// the payload, and the receiving side refuses frames over the limit.
inline constexpr size_t kMaxMessagePayload = static_cast<size_t>(ipc::FrameReader::kMaxFrameLength) - 4;
inline constexpr bool FitsInFrame(size_t payload_size) { return payload_size <= kMaxMessagePayload; }
// What a text field adds to a payload: its count and its bytes.
inline constexpr size_t TextFieldSize(size_t length) { return 4 + length; }

// One frame: the message id, then the payload.
inline std::string Frame(int32_t id, std::string_view payload) { return PayloadWriter().I32(id).Raw(payload).Take(); }

// A received message's payload, owned (the frame's bytes past the id).
using Payload = ipc::FrameBytes;

// Builds one frame as the socket carries it, in one buffer written once:
// the 4-byte length prefix (filled in by Take), the message id, then the
// payload fields, so a large payload is copied once, into the frame.
class FrameWriter {
public:
    static constexpr size_t kHeaderSize = 8;

    explicit FrameWriter(int32_t id, size_t payload_size_hint = 0) {
        bytes_.reserve(kHeaderSize + payload_size_hint);
        bytes_.resize(4);
        I32(id);
    }
    FrameWriter& U32(uint32_t value) {
        char word[4];
        ipc::StoreLe32(word, value);
        bytes_.append(word, 4);
        return *this;
    }
    FrameWriter& I32(int32_t value) { return U32(static_cast<uint32_t>(value)); }
    FrameWriter& Text(std::string_view text) {
        U32(static_cast<uint32_t>(text.size()));
        bytes_.append(text.data(), text.size());
        return *this;
    }
    // A null or empty datum is an empty text.
    FrameWriter& Text(const char* data, int32_t length) {
        return Text(data && length > 0 ? std::string_view(data, static_cast<size_t>(length)) : std::string_view());
    }
    FrameWriter& Raw(std::string_view bytes) {
        bytes_.append(bytes.data(), bytes.size());
        return *this;
    }
    size_t PayloadSize() const { return bytes_.size() - kHeaderSize; }
    std::string Take() {
        ipc::StoreLe32(bytes_.data(), static_cast<uint32_t>(bytes_.size() - 4));
        return std::move(bytes_);
    }

private:
    std::string bytes_;
};

// The payload size of a frame built by FrameWriter.
inline size_t FramePayloadSize(const std::string& frame) {
    return frame.size() >= FrameWriter::kHeaderSize ? frame.size() - FrameWriter::kHeaderSize : 0;
}

// Replaces the last u32 of a frame built by FrameWriter (the call id,
// which is the last field of a call and only known on worker thread 2).
inline void PatchTrailingU32(std::string& frame, uint32_t value) {
    if (frame.size() >= FrameWriter::kHeaderSize + 4) ipc::StoreLe32(frame.data() + frame.size() - 4, value);
}

// The same fields as Message, as views into the payload (valid while it is):
// the hot paths read calls and answers without copying their data.
struct MessageView {
    int32_t id = 0;
    std::string_view name;
    int32_t number = 0;
    uint32_t token = 0;
    std::string_view data;
};

bool ParseHostMessage(int32_t id, std::string_view payload, MessageView& out);
bool ParseClientMessage(int32_t id, std::string_view payload, MessageView& out);

// Frames of 4 bytes or more carry a message; shorter ones are dropped.
inline bool DecodeFrame(const char* data, int length, int32_t& id, std::string_view& payload) {
    if (!data || length < 4) return false;
    PayloadReader reader(std::string_view(data, 4));
    reader.I32(id);
    payload = std::string_view(data + 4, static_cast<size_t>(length - 4));
    return true;
}

}  // namespace Application::ExePlugin
