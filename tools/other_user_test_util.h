#pragma once

// Runs a piece of a test as another user, the way an attacker on the same
// machine would act: a forked child drops to uid/gid 65534 (nobody) before it
// does anything. Only root can do that; callers skip their test otherwise.

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>

namespace Tools::testing {

constexpr uid_t kOtherUser = 65534;

inline bool CanActAsOtherUser() { return ::geteuid() == 0; }

// True when the child could become the other user and action returned true.
inline bool RunAsOtherUser(const std::function<bool()>& action) {
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        const gid_t group = kOtherUser;
        if (::setgroups(1, &group) != 0 || ::setresgid(kOtherUser, kOtherUser, kOtherUser) != 0 ||
            ::setresuid(kOtherUser, kOtherUser, kOtherUser) != 0)
            ::_exit(2);
        ::_exit(action() ? 0 : 1);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace Tools::testing
