#include "framework/ipc/frame_reader.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace Application::ipc {
namespace {

std::string Prefix(int32_t length) {
    std::string prefix(4, '\0');
    StoreLe32(prefix.data(), static_cast<uint32_t>(length));
    return prefix;
}

std::string Frame(const std::string& payload) { return Prefix(static_cast<int32_t>(payload.size())) + payload; }

std::string Payload(size_t size, char seed) {
    std::string payload(size, '\0');
    for (size_t i = 0; i < size; ++i) payload[i] = static_cast<char>(seed + i * 13);
    return payload;
}

class RecordingSink final : public FrameSink {
public:
    bool OnHandshake(uint32_t id) override {
        handshakes.push_back(id);
        return accept_handshake;
    }
    bool OnFrame(const char* data, int length) override {
        frames.emplace_back(data, static_cast<size_t>(length));
        return static_cast<int>(frames.size()) != stop_after;
    }

    std::vector<uint32_t> handshakes;
    std::vector<std::string> frames;
    bool accept_handshake = true;
    int stop_after = -1;
};

// Feeds a stream in pieces of the given sizes (the rest in one piece).
FrameReader::Result FeedInPieces(FrameReader& reader, const std::string& stream, const std::vector<size_t>& pieces,
                                 FrameSink& sink) {
    size_t offset = 0;
    for (size_t piece : pieces) {
        piece = std::min(piece, stream.size() - offset);
        const auto result = reader.Feed(stream.data() + offset, piece, sink);
        if (result != FrameReader::Result::kOk) return result;
        offset += piece;
    }
    return reader.Feed(stream.data() + offset, stream.size() - offset, sink);
}

struct StreamCase {
    const char* name;
    std::vector<size_t> payload_sizes;
    std::vector<size_t> pieces;
};

class FrameReaderStreamTest : public ::testing::TestWithParam<StreamCase> {};

TEST_P(FrameReaderStreamTest, DeliversEveryFrameWholeAndInOrder) {
    const StreamCase& c = GetParam();
    std::string stream;
    std::vector<std::string> expected;
    for (size_t i = 0; i < c.payload_sizes.size(); ++i) {
        expected.push_back(Payload(c.payload_sizes[i], static_cast<char>('a' + i)));
        stream += Frame(expected.back());
    }
    FrameReader reader;
    RecordingSink sink;
    ASSERT_EQ(FeedInPieces(reader, stream, c.pieces, sink), FrameReader::Result::kOk);
    EXPECT_EQ(sink.frames, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, FrameReaderStreamTest,
    ::testing::Values(StreamCase{"TwoFramesInOneReceive", {10, 20}, {}},
                      StreamCase{"SplitOverThreeReceives", {100}, {3, 50}},
                      StreamCase{"EmptyFrame", {0}, {}},
                      StreamCase{"EmptyFramesAroundData", {0, 5, 0}, {4, 1}},
                      StreamCase{"LargestShortFrame", {8187, 8187}, {}},
                      StreamCase{"SmallestLongFrameInOneReceive", {8188}, {8192}},
                      StreamCase{"LongFrameThenShortInOneStream", {20000, 3, 8188, 0}, {}},
                      StreamCase{"LongFrameByPrefixPieces", {100000}, {1, 1, 1, 1, 7, 30000}},
                      StreamCase{"ShortFrameAfterPartialPrefix", {7000, 7000}, {7002, 4}}),
    [](const auto& info) { return std::string(info.param.name); });

// Every split point of a stream mixing short and long frames gives the same frames.
TEST(FrameReaderTest, AnySplitPointGivesTheSameFrames) {
    const std::vector<std::string> expected = {Payload(5, 'x'), Payload(8188, 'y'), Payload(0, 'z'), Payload(9000, 'w')};
    std::string stream;
    for (const auto& payload : expected) stream += Frame(payload);
    for (size_t split = 0; split <= stream.size(); split += 97) {
        FrameReader reader;
        RecordingSink sink;
        ASSERT_EQ(FeedInPieces(reader, stream, {split}, sink), FrameReader::Result::kOk) << split;
        ASSERT_EQ(sink.frames, expected) << "split at " << split;
    }
}

TEST(FrameReaderTest, RandomPiecesGiveTheSameFrames) {
    std::mt19937 random(7);
    std::vector<std::string> expected;
    std::string stream;
    for (int i = 0; i < 200; ++i) {
        const size_t size = (random() % 4 == 0) ? random() % 30000 : random() % 200;
        expected.push_back(Payload(size, static_cast<char>(i)));
        stream += Frame(expected.back());
    }
    FrameReader reader;
    RecordingSink sink;
    std::vector<size_t> pieces;
    for (size_t total = 0; total < stream.size();) {
        pieces.push_back(1 + random() % 9000);
        total += pieces.back();
    }
    ASSERT_EQ(FeedInPieces(reader, stream, pieces, sink), FrameReader::Result::kOk);
    EXPECT_EQ(sink.frames, expected);
}

TEST(FrameReaderTest, HandshakeWordComesFirstAndFramesMayFollowInTheSameReceive) {
    std::string stream = Prefix(static_cast<int32_t>(0xDEADBEEFu)) + Frame("hello");
    FrameReader reader(true);
    RecordingSink sink;
    ASSERT_EQ(FeedInPieces(reader, stream, {2}, sink), FrameReader::Result::kOk);
    EXPECT_EQ(sink.handshakes, std::vector<uint32_t>{0xDEADBEEFu});
    EXPECT_EQ(sink.frames, std::vector<std::string>{"hello"});
    EXPECT_FALSE(reader.AwaitingHandshake());
}

TEST(FrameReaderTest, RefusedHandshakeStopsBeforeAnyFrame) {
    FrameReader reader(true);
    RecordingSink sink;
    sink.accept_handshake = false;
    const std::string stream = Prefix(1) + Frame("never");
    EXPECT_EQ(reader.Feed(stream.data(), stream.size(), sink), FrameReader::Result::kStopped);
    EXPECT_TRUE(sink.frames.empty());
}

TEST(FrameReaderTest, SinkCanStopTheStream) {
    FrameReader reader;
    RecordingSink sink;
    sink.stop_after = 1;
    const std::string stream = Frame("one") + Frame("two");
    EXPECT_EQ(reader.Feed(stream.data(), stream.size(), sink), FrameReader::Result::kStopped);
    EXPECT_EQ(sink.frames, std::vector<std::string>{"one"});
}

struct BadLengthCase {
    const char* name;
    int32_t length;
};

class FrameReaderBadLengthTest : public ::testing::TestWithParam<BadLengthCase> {};

TEST_P(FrameReaderBadLengthTest, IsRejectedBeforeAnyAllocation) {
    FrameReader reader;
    RecordingSink sink;
    const std::string stream = Frame("ok") + Prefix(GetParam().length) + "xyz";
    EXPECT_EQ(reader.Feed(stream.data(), stream.size(), sink), FrameReader::Result::kBadLength);
    EXPECT_EQ(sink.frames, std::vector<std::string>{"ok"});
    EXPECT_EQ(reader.LongCapacity(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Lengths, FrameReaderBadLengthTest,
                         ::testing::Values(BadLengthCase{"MinusOne", -1}, BadLengthCase{"Smallest", INT32_MIN},
                                           BadLengthCase{"JustAboveLimit", FrameReader::kMaxFrameLength + 1},
                                           BadLengthCase{"Largest", INT32_MAX}),
                         [](const auto& info) { return std::string(info.param.name); });

// A peer announcing a huge frame and sending little costs little.
TEST(FrameReaderTest, LongFrameMemoryGrowsWithArrivedBytesOnly) {
    FrameReader reader;
    RecordingSink sink;
    const std::string header = Prefix(FrameReader::kMaxFrameLength);
    ASSERT_EQ(reader.Feed(header.data(), header.size(), sink), FrameReader::Result::kOk);
    EXPECT_LE(reader.LongCapacity(), FrameReader::kBufferSize);
    const std::string some(100000, 'q');
    ASSERT_EQ(reader.Feed(some.data(), some.size(), sink), FrameReader::Result::kOk);
    EXPECT_LE(reader.LongCapacity(), 2 * some.size() + FrameReader::kBufferSize);
    EXPECT_TRUE(sink.frames.empty());
}

TEST(FrameReaderTest, LargeFrameArrivesWholeAndItsStorageIsReleased) {
    FrameReader reader;
    RecordingSink sink;
    const std::string payload = Payload(3 * 1024 * 1024 + 5, 'm');
    const std::string stream = Frame(payload) + Frame("after");
    ASSERT_EQ(reader.Feed(stream.data(), stream.size(), sink), FrameReader::Result::kOk);
    ASSERT_EQ(sink.frames.size(), 2u);
    EXPECT_EQ(sink.frames[0].size(), payload.size());
    EXPECT_EQ(sink.frames[0], payload);
    EXPECT_EQ(sink.frames[1], "after");
    // Large storage is not kept once its frame is delivered.
    EXPECT_EQ(reader.LongCapacity(), 0u);
}

// Keeps every frame, and tells the long frames whose storage was handed over.
class OwningSink final : public FrameSink {
public:
    bool OnHandshake(uint32_t) override { return true; }
    bool OnFrame(const char* data, int length) override {
        frames.emplace_back(data, static_cast<size_t>(length));
        return true;
    }
    bool OnOwnedFrame(FrameBytes&& frame) override {
        frames.emplace_back(frame.view());
        owned.push_back(frames.size() - 1);
        kept.push_back(std::move(frame));
        return true;
    }

    std::vector<std::string> frames;
    std::vector<size_t> owned;
    std::vector<FrameBytes> kept;
};

// Short frames are read out of the receive buffer; long ones are handed
// over whole, wherever the stream is cut, coalesced with their neighbours
// or not.
TEST(FrameReaderTest, LongFramesAreHandedOverWholeAtEverySplitPoint) {
    const std::vector<std::string> payloads{"a", Payload(FrameReader::kLongFrame, 'b'), "", Payload(FrameReader::kLongFrame + 100, 'c'), "tail"};
    std::string stream;
    for (const std::string& payload : payloads) stream += Frame(payload);
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        FrameReader reader;
        OwningSink sink;
        ASSERT_EQ(FeedInPieces(reader, stream, {cut}, sink), FrameReader::Result::kOk) << "cut " << cut;
        ASSERT_EQ(sink.frames, payloads) << "cut " << cut;
        EXPECT_EQ(sink.owned, (std::vector<size_t>{1, 3})) << "cut " << cut;
        // The handed-over bytes stay valid after the reader moved on.
        EXPECT_EQ(sink.kept[1].view(), payloads[3]);
        EXPECT_EQ(reader.LongCapacity(), 0u);
    }
}

// A frame of tens of megabytes, arriving in pieces of every size between
// one byte and a megabyte, comes out whole and in one piece of storage.
TEST(FrameReaderTest, FrameOfTensOfMegabytesArrivesWholeFromRandomPieces) {
    const std::string payload = Payload(40 * 1024 * 1024 + 7, 'z');
    const std::string stream = Frame("before") + Frame(payload) + Frame("after");
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<size_t> piece(1, 1024 * 1024);
    std::vector<size_t> pieces;
    for (size_t total = 0; total < stream.size();) {
        pieces.push_back(piece(random));
        total += pieces.back();
    }
    FrameReader reader;
    OwningSink sink;
    ASSERT_EQ(FeedInPieces(reader, stream, pieces, sink), FrameReader::Result::kOk);
    ASSERT_EQ(sink.frames.size(), 3u);
    EXPECT_EQ(sink.frames[0], "before");
    EXPECT_TRUE(sink.frames[1] == payload);
    EXPECT_EQ(sink.frames[2], "after");
    EXPECT_EQ(sink.owned, std::vector<size_t>{1});
    EXPECT_EQ(reader.LongCapacity(), 0u);
}

TEST(FrameReaderTest, ResetDropsAPartialFrame) {
    FrameReader reader;
    RecordingSink sink;
    const std::string partial = Prefix(20000) + "abc";
    ASSERT_EQ(reader.Feed(partial.data(), partial.size(), sink), FrameReader::Result::kOk);
    reader.Reset(false);
    const std::string stream = Frame("fresh");
    ASSERT_EQ(reader.Feed(stream.data(), stream.size(), sink), FrameReader::Result::kOk);
    EXPECT_EQ(sink.frames, std::vector<std::string>{"fresh"});
}

}  // namespace
}  // namespace Application::ipc
