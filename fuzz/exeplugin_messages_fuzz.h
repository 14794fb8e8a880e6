#pragma once

// Arbitrary frames through one side's message parser. A message that parses
// must encode back to exactly the bytes its fields took (a prefix of the
// payload) and parse again to the same fields; nothing may read outside the frame.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "framework/exeplugin/messages.h"

namespace Application::ExePlugin {

template <bool kHostSide>
int FuzzOneFrame(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    // A private copy, so reads past the end are caught exactly.
    const std::string frame(reinterpret_cast<const char*>(data), size);
    int32_t id = 0;
    std::string_view payload;
    if (!DecodeFrame(frame.data(), static_cast<int>(frame.size()), id, payload)) return 0;
    Message message;
    const bool parsed = kHostSide ? ParseHostMessage(id, payload, message) : ParseClientMessage(id, payload, message);
    if (!parsed) return 0;
    if (message.id != id) std::abort();
    const std::string encoded = kHostSide ? EncodeHostMessage(message) : EncodeClientMessage(message);
    if (payload.substr(0, encoded.size()) != encoded) std::abort();
    Message again;
    const bool reparsed = kHostSide ? ParseHostMessage(id, encoded, again) : ParseClientMessage(id, encoded, again);
    if (!reparsed || !(again == message)) std::abort();
    return 0;
}

}  // namespace Application::ExePlugin
