#pragma once

// A private X server for tests: an Xvfb on a display number it picks itself
// (-displayfd), so parallel tests never collide. Stopped and reaped on
// destruction.

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace Tools::testing {

inline bool OnPath(const char* program) {
    const char* path = std::getenv("PATH");
    std::string list = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= list.size()) {
        const size_t end = std::min(list.find(':', start), list.size());
        const std::string candidate = list.substr(start, end - start) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

class Xvfb {
public:
    explicit Xvfb(int width = 1280, int height = 800) : width_(width), height_(height) {}
    ~Xvfb() { Stop(); }
    Xvfb(const Xvfb&) = delete;
    Xvfb& operator=(const Xvfb&) = delete;

    // False with the reason in why when there is no server to test against.
    bool Start(std::string* why) {
        if (!OnPath("Xvfb")) {
            *why = "Xvfb is not installed (package xvfb)";
            return false;
        }
        int fds[2];
        if (::pipe(fds) != 0) return false;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(fds[0]);
            const std::string fd = std::to_string(fds[1]);
            const std::string screen = std::to_string(width_) + "x" + std::to_string(height_) + "x24";
            ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-nolisten", "tcp",
                     "-noreset", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        std::string number;
        pollfd entry{fds[0], POLLIN, 0};
        while (::poll(&entry, 1, 30000) == 1) {
            char c;
            if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
            number += c;
        }
        ::close(fds[0]);
        if (number.empty()) {
            *why = "Xvfb did not start";
            return false;
        }
        display_ = ":" + number;
        return true;
    }
    void Stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    const std::string& display() const { return display_; }

private:
    int width_;
    int height_;
    pid_t pid_ = -1;
    std::string display_;
};

}  // namespace Tools::testing
