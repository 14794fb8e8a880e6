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

// Frames of 4 bytes or more carry a message; shorter ones are dropped.
inline bool DecodeFrame(const char* data, int length, int32_t& id, std::string_view& payload) {
    if (!data || length < 4) return false;
    PayloadReader reader(std::string_view(data, 4));
    reader.I32(id);
    payload = std::string_view(data + 4, static_cast<size_t>(length - 4));
    return true;
}

}  // namespace Application::ExePlugin
