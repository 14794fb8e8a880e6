#pragma once

#include <cstddef>
#include <cstdint>

// Text building for code that runs inside a fatal-signal handler: no
// allocation, no locale, no stdio, only fixed buffers and write(2).
namespace trevalo {

// Appends into a caller-owned buffer, always NUL-terminated; text that does
// not fit is cut and marks the buffer as truncated.
class FixedText {
public:
    FixedText(char* buffer, size_t capacity);

    FixedText& Append(const char* text);
    FixedText& Append(const char* text, size_t length);
    FixedText& AppendDecimal(int64_t value);
    // Lower-case hexadecimal with a "0x" prefix.
    FixedText& AppendHex(uint64_t value);
    // Decimal, left-padded with zeros to at least width digits.
    FixedText& AppendPadded(uint64_t value, int width);

    const char* data() const { return buffer_; }
    size_t size() const { return size_; }
    bool truncated() const { return truncated_; }
    void Clear();

private:
    char* buffer_;
    size_t capacity_;
    size_t size_ = 0;
    bool truncated_ = false;
};

// A civil UTC date and time from seconds since 1970 (proleptic Gregorian),
// computed by arithmetic only.
struct CivilTime {
    int64_t year;
    int month;   // 1..12
    int day;     // 1..31
    int hour;
    int minute;
    int second;
};
CivilTime CivilTimeFromUnixSeconds(int64_t seconds);

// write(2) of the whole range, retrying short writes and EINTR.
bool WriteAll(int fd, const char* data, size_t length);

// Name of the fatal signals handled ("SIGSEGV"), "signal" for others.
const char* FatalSignalName(int signal_number);

// Short name of a siginfo code for the given signal, or nullptr when unknown.
const char* SignalCodeName(int signal_number, int code);

}  // namespace trevalo
