#pragma once

// Shared by the IPC tests and their child program: self-checking frames, so
// a receiver can tell a whole frame from a torn or interleaved one.

#include <cstdint>
#include <string>

namespace Application::ipc::testing {

// Data frames: 'D', sender thread (1 byte), sequence (4 bytes LE), filler
// whose every byte depends on thread, sequence and position.
inline char FillerByte(unsigned thread, uint32_t sequence, size_t index) {
    return static_cast<char>((thread * 131u + sequence * 17u + static_cast<uint32_t>(index) * 7u) & 0xFFu);
}

inline size_t BurstFrameSize(uint32_t sequence) { return 6 + (sequence * 977u) % 12000u; }

inline std::string MakeDataFrame(unsigned thread, uint32_t sequence, size_t size) {
    std::string frame(size < 6 ? 6 : size, '\0');
    frame[0] = 'D';
    frame[1] = static_cast<char>(thread);
    for (int i = 0; i < 4; ++i) frame[2 + i] = static_cast<char>((sequence >> (8 * i)) & 0xFFu);
    for (size_t i = 6; i < frame.size(); ++i) frame[i] = FillerByte(thread, sequence, i);
    return frame;
}

// True for a whole, untorn data frame; gives its thread and sequence.
inline bool CheckDataFrame(const char* data, size_t size, unsigned* thread, uint32_t* sequence) {
    if (size < 6 || data[0] != 'D') return false;
    *thread = static_cast<unsigned char>(data[1]);
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(static_cast<unsigned char>(data[2 + i])) << (8 * i);
    *sequence = value;
    for (size_t i = 6; i < size; ++i) {
        if (data[i] != FillerByte(*thread, value, i)) return false;
    }
    return true;
}

// Frames of a given size for the size tests: 'S', then bytes tied to the size.
inline std::string MakeSizedFrame(size_t size) {
    std::string frame(size, '\0');
    for (size_t i = 0; i < size; ++i) frame[i] = static_cast<char>((i * 7 + size) & 0xFF);
    if (size > 0) frame[0] = 'S';
    return frame;
}

}  // namespace Application::ipc::testing
