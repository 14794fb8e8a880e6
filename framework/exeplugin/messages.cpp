#include "framework/exeplugin/messages.h"

namespace Application::ExePlugin {
namespace {

// The field layout of each message, shared by parser and encoder so the two
// cannot drift apart.
enum class Layout {
    kEmpty,                   // Ping, Pong, Exit, QuitApp
    kNameNumberToken,         // Subscribe, Unsubscribe
    kNumberData,              // Notify, Log
    kNameNumberDataToken,     // CallPlugin
    kDataToken,               // CallResult (both ways)
    kWhole,                   // DataSync (both ways)
    kNumberDataToken,         // Call
    kNameNumberTokenData,     // Notification
    kUnknown,
};

Layout HostLayout(int32_t id) {
    switch (id) {
        // ProcessExited and Connected are the host's own events: arriving in
        // a frame they are unknown ids.
        case kPing:
        case kQuitApp: return Layout::kEmpty;
        case kSubscribe:
        case kUnsubscribe: return Layout::kNameNumberToken;
        case kNotify:
        case kLog: return Layout::kNumberData;
        case kCallPlugin: return Layout::kNameNumberDataToken;
        case kCallResultToHost: return Layout::kDataToken;
        case kDataSyncToHost: return Layout::kWhole;
        default: return Layout::kUnknown;
    }
}

Layout ClientLayout(int32_t id) {
    switch (id) {
        // Disconnected is the plugin process's own event, never a frame's id.
        case kPong:
        case kExit: return Layout::kEmpty;
        case kCall: return Layout::kNumberDataToken;
        case kNotification: return Layout::kNameNumberTokenData;
        case kCallResultToClient: return Layout::kDataToken;
        case kDataSyncToClient: return Layout::kWhole;
        default: return Layout::kUnknown;
    }
}

template <class Out>
bool Parse(Layout layout, int32_t id, std::string_view payload, Out& out) {
    out = Out();
    out.id = id;
    PayloadReader r(payload);
    switch (layout) {
        case Layout::kEmpty: return true;
        case Layout::kNameNumberToken: return r.Text(out.name) && r.I32(out.number) && r.U32(out.token);
        case Layout::kNumberData: return r.I32(out.number) && r.Text(out.data);
        case Layout::kNameNumberDataToken:
            return r.Text(out.name) && r.I32(out.number) && r.Text(out.data) && r.U32(out.token);
        case Layout::kDataToken: return r.Text(out.data) && r.U32(out.token);
        case Layout::kWhole: out.data = decltype(out.data)(payload.data(), payload.size()); return true;
        case Layout::kNumberDataToken: return r.I32(out.number) && r.Text(out.data) && r.U32(out.token);
        case Layout::kNameNumberTokenData:
            return r.Text(out.name) && r.I32(out.number) && r.U32(out.token) && r.Text(out.data);
        case Layout::kUnknown: return false;
    }
    return false;
}

std::string Encode(Layout layout, const Message& m) {
    PayloadWriter w;
    switch (layout) {
        case Layout::kEmpty:
        case Layout::kUnknown: break;
        case Layout::kNameNumberToken: w.Text(m.name).I32(m.number).U32(m.token); break;
        case Layout::kNumberData: w.I32(m.number).Text(m.data); break;
        case Layout::kNameNumberDataToken: w.Text(m.name).I32(m.number).Text(m.data).U32(m.token); break;
        case Layout::kDataToken: w.Text(m.data).U32(m.token); break;
        case Layout::kWhole: return m.data;
        case Layout::kNumberDataToken: w.I32(m.number).Text(m.data).U32(m.token); break;
        case Layout::kNameNumberTokenData: w.Text(m.name).I32(m.number).U32(m.token).Text(m.data); break;
    }
    return w.Take();
}

}  // namespace

bool ParseHostMessage(int32_t id, std::string_view payload, Message& out) {
    return Parse(HostLayout(id), id, payload, out);
}

bool ParseClientMessage(int32_t id, std::string_view payload, Message& out) {
    return Parse(ClientLayout(id), id, payload, out);
}

bool ParseHostMessage(int32_t id, std::string_view payload, MessageView& out) {
    return Parse(HostLayout(id), id, payload, out);
}

bool ParseClientMessage(int32_t id, std::string_view payload, MessageView& out) {
    return Parse(ClientLayout(id), id, payload, out);
}

std::string EncodeHostMessage(const Message& message) { return Encode(HostLayout(message.id), message); }

std::string EncodeClientMessage(const Message& message) { return Encode(ClientLayout(message.id), message); }

}  // namespace Application::ExePlugin
