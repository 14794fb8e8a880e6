#pragma once

#include <cstddef>
#include <string>

#include "tools/posix_fd.h"

namespace Application {

// The log's file: opened for appending, private to the user (0600), written
// straight to the kernel, so a line written here survives a crash of the
// process that wrote it. System calls retry on interruption.
class LogFile {
public:
    // One piece of text to append.
    struct Piece {
        const char* data;
        size_t length;
    };

    // Creates or truncates path; false when it cannot be opened.
    bool Open(const std::string& path);
    void Close() { fd_.reset(); }
    bool IsOpen() const { return fd_.valid(); }

    // Appends the pieces in order with as few system calls as the kernel
    // allows. Allocates nothing, so a crash reporter may call it while the
    // process dies. False on the first write error.
    bool Append(const Piece* pieces, size_t count);

private:
    Tools::detail::UniqueFd fd_;
};

}  // namespace Application
