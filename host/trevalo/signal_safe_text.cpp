#include "host/trevalo/signal_safe_text.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace trevalo {

FixedText::FixedText(char* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {
    if (capacity_ > 0) buffer_[0] = '\0';
}

void FixedText::Clear() {
    size_ = 0;
    truncated_ = false;
    if (capacity_ > 0) buffer_[0] = '\0';
}

FixedText& FixedText::Append(const char* text) {
    if (!text) return *this;
    size_t length = 0;
    while (text[length] != '\0') ++length;
    return Append(text, length);
}

FixedText& FixedText::Append(const char* text, size_t length) {
    if (capacity_ == 0) {
        truncated_ = truncated_ || length > 0;
        return *this;
    }
    const size_t room = capacity_ - 1 - size_;
    if (length > room) {
        length = room;
        truncated_ = true;
    }
    for (size_t i = 0; i < length; ++i) buffer_[size_ + i] = text[i];
    size_ += length;
    buffer_[size_] = '\0';
    return *this;
}

FixedText& FixedText::AppendDecimal(int64_t value) {
    // Work on the magnitude as unsigned so that INT64_MIN does not overflow.
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    if (value < 0) Append("-", 1);
    return AppendPadded(magnitude, 1);
}

FixedText& FixedText::AppendPadded(uint64_t value, int width) {
    char digits[24];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count < width && count < static_cast<int>(sizeof digits)) digits[count++] = '0';
    char ordered[24];
    for (int i = 0; i < count; ++i) ordered[i] = digits[count - 1 - i];
    return Append(ordered, static_cast<size_t>(count));
}

FixedText& FixedText::AppendHex(uint64_t value) {
    static const char kDigits[] = "0123456789abcdef";
    char text[18] = {'0', 'x'};
    int start = 2;
    int count = 0;
    char reversed[16];
    do {
        reversed[count++] = kDigits[value & 0xf];
        value >>= 4;
    } while (value != 0);
    for (int i = 0; i < count; ++i) text[start + i] = reversed[count - 1 - i];
    return Append(text, static_cast<size_t>(start + count));
}

CivilTime CivilTimeFromUnixSeconds(int64_t seconds) {
    int64_t days = seconds / 86400;
    int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    // Days to civil date, after Howard Hinnant's "civil_from_days".
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    return CivilTime{year,
                     static_cast<int>(month),
                     static_cast<int>(day),
                     static_cast<int>(rest / 3600),
                     static_cast<int>(rest / 60 % 60),
                     static_cast<int>(rest % 60)};
}

bool WriteAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (written == 0) return false;
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

const char* FatalSignalName(int signal_number) {
    switch (signal_number) {
        case SIGSEGV: return "SIGSEGV";
        case SIGBUS: return "SIGBUS";
        case SIGFPE: return "SIGFPE";
        case SIGILL: return "SIGILL";
        case SIGABRT: return "SIGABRT";
        default: return "signal";
    }
}

const char* SignalCodeName(int signal_number, int code) {
    switch (code) {
        case SI_USER: return "SI_USER";
        case SI_TKILL: return "SI_TKILL";
        case SI_QUEUE: return "SI_QUEUE";
        default: break;
    }
    switch (signal_number) {
        case SIGSEGV:
            if (code == SEGV_MAPERR) return "SEGV_MAPERR";
            if (code == SEGV_ACCERR) return "SEGV_ACCERR";
            break;
        case SIGBUS:
            if (code == BUS_ADRALN) return "BUS_ADRALN";
            if (code == BUS_ADRERR) return "BUS_ADRERR";
            if (code == BUS_OBJERR) return "BUS_OBJERR";
            break;
        case SIGFPE:
            if (code == FPE_INTDIV) return "FPE_INTDIV";
            if (code == FPE_INTOVF) return "FPE_INTOVF";
            if (code == FPE_FLTDIV) return "FPE_FLTDIV";
            if (code == FPE_FLTINV) return "FPE_FLTINV";
            break;
        case SIGILL:
            if (code == ILL_ILLOPC) return "ILL_ILLOPC";
            if (code == ILL_ILLOPN) return "ILL_ILLOPN";
            if (code == ILL_PRVOPC) return "ILL_PRVOPC";
            break;
        default: break;
    }
    return nullptr;
}

}  // namespace trevalo
