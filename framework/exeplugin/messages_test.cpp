#include "framework/exeplugin/messages.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "framework/exeplugin/pending_calls.h"
#include "framework/exeplugin/host_proxy.h"

namespace Application::ExePlugin {
namespace {

TEST(MessagesTest, WriterAndReaderAgree) {
    const std::string payload = PayloadWriter().Text("module").I32(-7).U32(0xFFFFFFFFu).Text(std::string("a\0b", 3)).Take();
    PayloadReader reader(payload);
    std::string module, data;
    int32_t id = 0;
    uint32_t key = 0;
    ASSERT_TRUE(reader.Text(module));
    ASSERT_TRUE(reader.I32(id));
    ASSERT_TRUE(reader.U32(key));
    ASSERT_TRUE(reader.Text(data));
    EXPECT_EQ(module, "module");
    EXPECT_EQ(id, -7);
    EXPECT_EQ(key, 0xFFFFFFFFu);
    EXPECT_EQ(data, std::string("a\0b", 3));
    EXPECT_TRUE(reader.ok());
}

TEST(MessagesTest, ShortPayloadsAreRejectedWhole) {
    const std::string full = PayloadWriter().Text("abc").U32(5).Take();
    // Every cut of the payload fails somewhere, and once failed stays failed.
    for (size_t cut = 0; cut < full.size(); ++cut) {
        PayloadReader reader(std::string_view(full.data(), cut));
        std::string text;
        uint32_t value = 0;
        const bool whole = reader.Text(text) && reader.U32(value);
        EXPECT_FALSE(whole) << cut;
        EXPECT_FALSE(reader.ok()) << cut;
        EXPECT_FALSE(reader.U32(value)) << cut;
    }
    // A text whose count claims more than remains.
    const std::string lying = PayloadWriter().U32(1000).Take() + "xy";
    PayloadReader reader(lying);
    std::string text;
    EXPECT_FALSE(reader.Text(text));
}

TEST(MessagesTest, FramesCarryTheIdFirst) {
    const std::string frame = Frame(kPing, "");
    ASSERT_EQ(frame.size(), 4u);
    int32_t id = 0;
    std::string_view payload;
    ASSERT_TRUE(DecodeFrame(frame.data(), 4, id, payload));
    EXPECT_EQ(id, -1);
    EXPECT_TRUE(payload.empty());
    EXPECT_FALSE(DecodeFrame(frame.data(), 3, id, payload));
    EXPECT_FALSE(DecodeFrame(nullptr, 0, id, payload));
    const std::string call = Frame(kCall, "xyz");
    ASSERT_TRUE(DecodeFrame(call.data(), static_cast<int>(call.size()), id, payload));
    EXPECT_EQ(id, 1);
    EXPECT_EQ(payload, "xyz");
}

// Every message either side reads: the fields come back as written, every
// shortened payload is rejected whole, and ids a side does not handle are refused.
// The wire frame built in one buffer is the length prefix and the frame the
// readers decode; the call id patched in last is the one read back.
TEST(MessagesTest, FrameWriterBuildsTheWireFrameInOneBuffer) {
    const std::string data(70000, 'x');
    std::string frame = FrameWriter(kCall, 16).I32(9).Text(data).U32(0).Take();
    PatchTrailingU32(frame, 0xABCD1234u);
    ASSERT_GE(frame.size(), FrameWriter::kHeaderSize);
    EXPECT_EQ(ipc::LoadLe32(frame.data()), frame.size() - 4);
    EXPECT_EQ(FramePayloadSize(frame), 4 + TextFieldSize(data.size()) + 4);
    int32_t id = 0;
    std::string_view payload;
    ASSERT_TRUE(DecodeFrame(frame.data() + 4, static_cast<int>(frame.size() - 4), id, payload));
    EXPECT_EQ(std::string(frame.data() + 4, frame.size() - 4), Frame(kCall, PayloadWriter().I32(9).Text(data).U32(0xABCD1234u).Take()));
    MessageView m;
    ASSERT_TRUE(ParseClientMessage(id, payload, m));
    EXPECT_EQ(m.number, 9);
    EXPECT_EQ(m.data, data);
    EXPECT_EQ(m.token, 0xABCD1234u);
}

TEST(MessagesTest, ParsersReadEveryMessageWholeOrNotAtAll) {
    struct Case {
        bool host_side;  // read by the host (sent by the plugin process)
        Message message;
    };
    const Case cases[] = {
        {true, {kPing, "", 0, 0, ""}},
        {true, {kSubscribe, "app", 5, 17, ""}},
        {true, {kUnsubscribe, "mod", -3, 0xFFFFFFFFu, ""}},
        {true, {kNotify, "", 100, 0, std::string("x\0y", 3)}},
        {true, {kCallPlugin, "HostEcho", 2, 9, "payload"}},
        {true, {kCallResultToHost, "", 0, 4, "answer"}},
        {true, {kLog, "", 200, 0, "a line"}},
        {true, {kDataSyncToHost, "", 0, 0, "raw synchroniser bytes"}},
        {true, {kQuitApp, "", 0, 0, ""}},
        {false, {kPong, "", 0, 0, ""}},
        {false, {kCall, "", 1, 0, "data"}},
        {false, {kNotification, "app", 3, 8, "paths"}},
        {false, {kCallResultToClient, "", 0, 77, ""}},
        {false, {kDataSyncToClient, "", 0, 0, "snapshot"}},
        {false, {kExit, "", 0, 0, ""}},
    };
    for (const Case& c : cases) {
        bool (*parse)(int32_t, std::string_view, Message&) = ParseClientMessage;
        bool (*parse_view)(int32_t, std::string_view, MessageView&) = ParseClientMessage;
        if (c.host_side) {
            parse = ParseHostMessage;
            parse_view = ParseHostMessage;
        }
        const std::string payload = c.host_side ? EncodeHostMessage(c.message) : EncodeClientMessage(c.message);
        Message read;
        ASSERT_TRUE(parse(c.message.id, payload, read)) << c.message.id;
        EXPECT_EQ(read, c.message) << c.message.id;
        // The views read the same fields, pointing into the payload.
        MessageView view;
        ASSERT_TRUE(parse_view(c.message.id, payload, view)) << c.message.id;
        EXPECT_EQ(Message({view.id, std::string(view.name), view.number, view.token, std::string(view.data)}), c.message)
            << c.message.id;
        if (!view.data.empty()) {
            EXPECT_GE(view.data.data(), payload.data());
            EXPECT_LE(view.data.data() + view.data.size(), payload.data() + payload.size());
        }
        const bool whole_payload = c.message.id == kDataSyncToHost || c.message.id == kDataSyncToClient;
        for (size_t cut = 0; cut < payload.size() && !whole_payload; ++cut)
            EXPECT_FALSE(parse(c.message.id, std::string_view(payload.data(), cut), read)) << c.message.id << " cut " << cut;
        // Trailing bytes after the last field are tolerated.
        EXPECT_TRUE(parse(c.message.id, payload + "zz", read)) << c.message.id;
    }
    Message read;
    // The receiving side's own event ids are unknown when a frame carries them.
    const int32_t host_unknown[] = {0, 11, -2, kProcessExited, kConnected, kConnected + 100};
    for (int32_t id : host_unknown) EXPECT_FALSE(ParseHostMessage(id, "", read)) << id;
    const int32_t client_unknown[] = {kDisconnected, 6, 11, -2};
    for (int32_t id : client_unknown) EXPECT_FALSE(ParseClientMessage(id, "", read)) << id;
    // A text claiming more bytes than remain.
    const std::string lying = PayloadWriter().U32(1).Take() + PayloadWriter().U32(500).Take() + "short";
    EXPECT_FALSE(ParseClientMessage(kCall, lying, read));
}

TEST(PendingCallsTest, EachAnswerReachesItsCallOnce) {
    PendingCalls calls;
    std::vector<std::string> first, second;
    EXPECT_EQ(calls.Add(nullptr), 0u) << "no answer wanted, no id";
    const uint32_t a = calls.Add([&](const char* data, int32_t length) { first.emplace_back(data, static_cast<size_t>(length)); });
    const uint32_t b = calls.Add([&](const char* data, int32_t length) { second.emplace_back(data, static_cast<size_t>(length)); });
    EXPECT_NE(a, 0u);
    EXPECT_NE(b, 0u);
    EXPECT_NE(a, b);
    calls.Answer(b, "two");
    calls.Answer(b, "again");    // answered already: nobody
    calls.Answer(a + b + 7, "x");  // never issued: nobody
    calls.Answer(a, "one");
    EXPECT_EQ(first, std::vector<std::string>{"one"});
    EXPECT_EQ(second, std::vector<std::string>{"two"});
    // Dropped calls are never called.
    const uint32_t c = calls.Add([&](const char*, int32_t) { first.emplace_back("dropped"); });
    calls.Clear();
    calls.Answer(c, "late");
    EXPECT_EQ(first.size(), 1u);
}

TEST(BackoffTest, CrashLoopsBackOffAndLongRunsReset) {
    struct Step {
        uint32_t current;
        uint64_t run_ms;
        uint32_t delay;
        uint32_t next;
    };
    const Step steps[] = {
        {0, 100, 0, 1000},          // first quick death: restart at once
        {1000, 100, 1000, 2000},    // then 1 s, 2 s, ...
        {2000, 9999, 2000, 4000},
        {32000, 100, 32000, 60000},  // capped
        {60000, 100, 60000, 60000},
        {4000, 15000, 4000, 4000},   // neither quick nor long: unchanged
        {60000, 30000, 0, 0},        // a long run resets
    };
    for (const Step& s : steps) {
        auto [delay, next] = ExePluginHostProxy::NextBackoff(s.current, s.run_ms);
        EXPECT_EQ(delay, s.delay) << s.current << "/" << s.run_ms;
        EXPECT_EQ(next, s.next) << s.current << "/" << s.run_ms;
    }
}

}  // namespace
}  // namespace Application::ExePlugin
