// Joins the data tree of a host the way a plugin process does, for the
// multi-process tests. Usage:
//   data_test_child increment -pid=<host> <count>   count checked increments
//   data_test_child hold -pid=<host>                 writes 'H' inside a visit, then waits to be killed
//   data_test_child tear -pid=<host>                 dies by SIGKILL half-way through its first push
//   data_test_child host                             hosts a tree of its own, writes 'H', waits to be killed
// Exit codes: 0 done, 2 usage, 3 a torn counter was seen.

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "framework/core/cmdline_mgr.h"
#include "framework/data/data_test_layout.h"
#include "framework/data/data_tree.h"
#include "framework/data/shared_block.h"

using namespace Application;

namespace {

void KillSelf() { raise(SIGKILL); }

void SignalParent() {
    const char byte = 'H';
    (void)!write(STDOUT_FILENO, &byte, 1);
}

[[noreturn]] void WaitForever() {
    for (;;) pause();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    ProcessCmdLineMgr()->Parse(argc, argv);
    const std::string mode = argv[1];
    if (mode == "host") {
        CData data;
        data.Visit([](IDataVisitor* visitor) { data_test::Increment(visitor); });
        SignalParent();
        WaitForever();
    }
    CData data;
    if (data.IsHost()) return 2;  // the -pid= switch is missing
    if (mode == "increment") {
        if (argc < 4) return 2;
        const long count = std::strtol(argv[3], nullptr, 10);
        bool torn = false;
        for (long i = 0; i < count; ++i) {
            data.Visit([&](IDataVisitor* visitor) {
                if (!data_test::Increment(visitor)) torn = true;
            });
            if (torn) return 3;
        }
        return 0;
    }
    if (mode == "hold") {
        data.Visit([](IDataVisitor*) {
            SignalParent();
            WaitForever();
        });
    }
    if (mode == "tear") {
        SetPushInterruptForTesting(&KillSelf);
        data.Visit([](IDataVisitor* visitor) { data_test::Increment(visitor); });
        return 0;  // not reached
    }
    return 2;
}
