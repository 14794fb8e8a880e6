// A hostile local peer for the tests, run as another user: started as root,
// it drops to uid/gid 65534 before it opens any socket. It reports single
// bytes on stdout and waits for a byte (or the end) on stdin.
//   present PORT ID HEX  connects, sends the 4-byte ID and the bytes HEX,
//                        reports 'X' once the host closed the connection,
//                        'T' when it did not within 20 s. ID is a number, or
//                        pid:N to read it from /proc/N/cmdline as any user can.
//   flood PORT COUNT     opens COUNT connections, reports 'F' (all) or 'E',
//                        and holds them until told.
//   hold PORT            opens one connection, reports 'C', holds it until told.
// Exit codes: 0 done, 2 bad arguments or no id, 3 no connection, 100 and up:
// the drop to the other user failed.

#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/posix_fd.h"

namespace {

using Tools::detail::UniqueFd;

constexpr uid_t kForeignUid = 65534;
constexpr gid_t kForeignGid = 65534;
constexpr int kWaitForCloseMs = 20000;

bool DropToForeignUser() {
    // Room for floods of connections, raised while still allowed.
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 4096) {
        limit.rlim_cur = 4096;
        if (limit.rlim_max < 4096) limit.rlim_max = 4096;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    return ::setgroups(0, nullptr) == 0 && ::setresgid(kForeignGid, kForeignGid, kForeignGid) == 0 &&
           ::setresuid(kForeignUid, kForeignUid, kForeignUid) == 0 && ::geteuid() == kForeignUid &&
           ::getegid() == kForeignGid;
}

UniqueFd ConnectLoopback(int port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return fd;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (Tools::detail::RetryEintr([&] {
            return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
        }) != 0) {
        fd.reset();
    }
    return fd;
}

// False once the host refuses bytes (it closed the connection).
bool WriteAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool WaitClosedByPeer(int fd) {
    char buffer[512];
    while (true) {
        pollfd entry{fd, POLLIN, 0};
        const int polled = ::poll(&entry, 1, kWaitForCloseMs);
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) return false;
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) return true;
    }
}

void Report(char byte) {
    while (::write(STDOUT_FILENO, &byte, 1) < 0 && errno == EINTR) {
    }
}

void AwaitWord() {
    char byte = 0;
    while (::read(STDIN_FILENO, &byte, 1) < 0 && errno == EINTR) {
    }
}

bool ParseId(const std::string& text, uint32_t* id) {
    std::string number = text;
    if (text.rfind("pid:", 0) == 0) {
        std::ifstream cmdline("/proc/" + text.substr(4) + "/cmdline");
        const std::string all((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
        const std::string key = "ipc_cmd_info=ipcid=";
        const size_t at = all.find(key);
        if (at == std::string::npos) return false;
        number = all.substr(at + key.size());
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(number.c_str(), &end, 10);
    if (errno != 0 || end == number.c_str() || value > 0xFFFFFFFFull) return false;
    *id = static_cast<uint32_t>(value);
    return true;
}

bool DecodeHex(const std::string& hex, std::string* bytes) {
    if (hex.size() % 2 != 0) return false;
    for (size_t i = 0; i < hex.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = hex.substr(i, 2);
        const long value = std::strtol(pair.c_str(), &end, 16);
        if (end != pair.c_str() + 2) return false;
        bytes->push_back(static_cast<char>(value));
    }
    return true;
}

int Present(int port, const std::string& id_text, const std::string& hex) {
    uint32_t id = 0;
    std::string bytes;
    if (!ParseId(id_text, &id) || !DecodeHex(hex, &bytes)) return 2;
    const UniqueFd fd = ConnectLoopback(port);
    if (!fd.valid()) return 3;
    std::string handshake(4, '\0');
    for (int i = 0; i < 4; ++i) handshake[i] = static_cast<char>((id >> (8 * i)) & 0xFFu);
    if (WriteAll(fd.get(), handshake)) WriteAll(fd.get(), bytes);
    Report(WaitClosedByPeer(fd.get()) ? 'X' : 'T');
    return 0;
}

int Flood(int port, int count) {
    std::vector<UniqueFd> held;
    while (static_cast<int>(held.size()) < count) {
        UniqueFd fd = ConnectLoopback(port);
        if (!fd.valid()) break;
        held.push_back(std::move(fd));
    }
    Report(static_cast<int>(held.size()) == count ? 'F' : 'E');
    AwaitWord();
    return 0;
}

int Hold(int port) {
    const UniqueFd fd = ConnectLoopback(port);
    if (!fd.valid()) return 3;
    Report('C');
    AwaitWord();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (!DropToForeignUser()) return 100;
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 4 && args[0] == "present") return Present(std::atoi(args[1].c_str()), args[2], args[3]);
    if (args.size() == 3 && args[0] == "flood") return Flood(std::atoi(args[1].c_str()), std::atoi(args[2].c_str()));
    if (args.size() == 2 && args[0] == "hold") return Hold(std::atoi(args[1].c_str()));
    return 2;
}
