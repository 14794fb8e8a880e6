// Arbitrary byte streams, cut at arbitrary points, through the receive state
// machine of the IPC framing. Whatever the cuts, the frames delivered and the
// verdict must equal those of the stream fed in one piece, and memory for a
// long frame must stay proportional to the bytes that arrived.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "framework/ipc/frame_reader.h"

using Application::ipc::FrameReader;
using Application::ipc::FrameSink;

namespace {

class RecordingSink final : public FrameSink {
public:
    explicit RecordingSink(bool refuse_odd_ids) : refuse_odd_ids_(refuse_odd_ids) {}
    bool OnHandshake(uint32_t id) override {
        handshakes.push_back(id);
        return !(refuse_odd_ids_ && (id & 1u));
    }
    bool OnFrame(const char* data, int length) override {
        if (length < 0 || length > FrameReader::kMaxFrameLength) std::abort();
        frames.emplace_back(data, static_cast<size_t>(length));
        return true;
    }
    std::vector<uint32_t> handshakes;
    std::vector<std::string> frames;

private:
    bool refuse_odd_ids_;
};

uint32_t Next(uint32_t& state) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const bool handshake = data[0] & 1u;
    const bool refuse_odd = data[0] & 2u;
    uint32_t state = 0x9E3779B9u ^ (static_cast<uint32_t>(data[1]) << 8) ^ data[2];
    const char* stream = reinterpret_cast<const char*>(data + 3);
    const size_t length = size - 3;

    FrameReader whole(handshake);
    RecordingSink whole_sink(refuse_odd);
    const FrameReader::Result whole_result = whole.Feed(stream, length, whole_sink);

    FrameReader pieces(handshake);
    RecordingSink pieces_sink(refuse_odd);
    FrameReader::Result pieces_result = FrameReader::Result::kOk;
    size_t fed = 0;
    while (fed < length && pieces_result == FrameReader::Result::kOk) {
        // Mostly small cuts, sometimes large ones, like real receives.
        const uint32_t roll = Next(state);
        size_t piece = (roll & 3u) == 0 ? 1 + (roll >> 4) % 20000 : 1 + (roll >> 4) % 16;
        if (piece > length - fed) piece = length - fed;
        pieces_result = pieces.Feed(stream + fed, piece, pieces_sink);
        fed += piece;
        if (pieces.LongCapacity() > 2 * fed + FrameReader::kBufferSize) std::abort();
    }

    if (pieces_result != whole_result) std::abort();
    if (pieces_sink.frames != whole_sink.frames) std::abort();
    if (pieces_sink.handshakes != whole_sink.handshakes) std::abort();
    return 0;
}
