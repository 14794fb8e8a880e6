#pragma once

// Test helpers for tests that start real programs: a private temporary
// directory and a child process that is always reaped.

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <vector>

extern char** environ;

namespace test_support {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
public:
    TempDir() {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base && base[0] == '/' ? base : "/tmp") + "/velmora-test-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data())) path_ = buffer.data();
    }
    ~TempDir() {
        if (path_.empty()) return;
        std::error_code ignored;
        // Read-only leftovers must not survive the test.
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    bool ok() const { return !path_.empty(); }

private:
    std::string path_;
};

// The current environment with some variables replaced, added or removed
// (an empty value removes the variable).
inline std::vector<std::string> MakeEnvironment(const std::map<std::string, std::string>& changes) {
    std::vector<std::string> result;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        if (changes.count(name) == 0) result.push_back(text);
    }
    for (const auto& [name, value] : changes) {
        if (!value.empty()) result.push_back(name + "=" + value);
    }
    return result;
}

// A child started by fork/exec without core dumps, with default signal
// dispositions and an empty signal mask. Killed and reaped on destruction.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            int status = 0;
            while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Start(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& environment, const std::string& working_dir) {
        // Everything the child needs is built before fork: after it only
        // async-signal-safe calls are allowed.
        std::vector<std::string> argv_text;
        argv_text.push_back(program);
        argv_text.insert(argv_text.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : argv_text) argv.push_back(arg.data());
        argv.push_back(nullptr);
        std::vector<std::string> env_text = environment;
        std::vector<char*> envp;
        for (std::string& entry : env_text) envp.push_back(entry.data());
        envp.push_back(nullptr);

        const pid_t pid = fork();
        if (pid < 0) return false;
        if (pid == 0) {
            const rlimit no_core = {0, 0};
            setrlimit(RLIMIT_CORE, &no_core);
            sigset_t empty;
            sigemptyset(&empty);
            sigprocmask(SIG_SETMASK, &empty, nullptr);
            for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
                if (signal_number == SIGKILL || signal_number == SIGSTOP) continue;
                struct sigaction action = {};
                action.sa_handler = SIG_DFL;
                sigaction(signal_number, &action, nullptr);
            }
            if (!working_dir.empty() && chdir(working_dir.c_str()) != 0) _exit(126);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        pid_ = pid;
        return true;
    }

    pid_t pid() const { return pid_; }

    // True when the child ended within timeout; its wait status lands in status.
    bool WaitForExit(std::chrono::milliseconds timeout, int* status) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (!Running()) {
                if (exit_status_ == -1) return false;
                *status = exit_status_;
                return true;
            }
            if (std::chrono::steady_clock::now() >= deadline) return false;
            const timespec pause = {0, 5 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
    }

    // True while the child runs (it has not ended yet, reaped or not).
    bool Running() {
        if (pid_ <= 0) return false;
        int status = 0;
        pid_t reaped;
        do {
            reaped = waitpid(pid_, &status, WNOHANG);
        } while (reaped < 0 && errno == EINTR);
        if (reaped == pid_) {
            pid_ = -1;
            exit_status_ = status;
            return false;
        }
        // A child we cannot wait for any more is gone as far as we can tell.
        if (reaped < 0) {
            pid_ = -1;
            return false;
        }
        return true;
    }

    // The wait status of a child that Running() found ended, or -1.
    int exit_status() const { return exit_status_; }

private:
    pid_t pid_ = -1;
    int exit_status_ = -1;
};

// Describes a wait status for test messages.
inline std::string DescribeStatus(int status) {
    if (WIFEXITED(status)) return "exited with " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) return std::string("killed by signal ") + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

}  // namespace test_support
