// Joins the data tree of a host the way a plugin process does, for the
// multi-process tests. Usage:
//   data_test_child increment -pid=<host> <count>   count checked increments
//   data_test_child hold -pid=<host>                 writes 'H' inside a visit, then waits to be killed
//   data_test_child tear -pid=<host>                 dies by SIGKILL half-way through its first push
//   data_test_child host                             hosts a tree of its own, writes 'H', waits to be killed
//   data_test_child triple -pid=<host> [V:P]         changes three nodes together in every visit, without
//                                                    end; writes 'H' after its first visit; with V:P it dies
//                                                    by SIGKILL at point P of its visit V
//   data_test_child watch -pid=<host>                reads the three nodes in every visit, without end;
//                                                    writes 'H' after its first visit
//   data_test_child tear3 -pid=<host>                dies by SIGKILL half-way through publishing the three
//   data_test_child resize -pid=<host> <count>       gives the growing array count elements
//   data_test_child grow -pid=<host> [V:P]           grows the growing array by a step in every visit,
//                                                    without end; writes 'H' after its first visit; with
//                                                    V:P it dies by SIGKILL at point P of its visit V
// Exit codes: 0 done, 2 usage, 3 a torn counter or a mix of the three was seen, 4 a visit did not run.

#include <signal.h>
#include <time.h>
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

// Where the kill hook strikes: the point of a publication, in the visit with
// this number (counted from 1, this process only).
int g_kill_point = -1;
long g_kill_visit = 1;
long g_visit = 0;

void KillAtPoint(int point) {
    if (g_visit == g_kill_visit && point == g_kill_point) raise(SIGKILL);
}

void SignalParent() {
    const char byte = 'H';
    (void)!write(STDOUT_FILENO, &byte, 1);
}

// "V:P": die at point P of visit V.
bool ArmKillPoint(const char* text) {
    char* rest = nullptr;
    g_kill_visit = std::strtol(text, &rest, 10);
    if (!rest || *rest != ':') return false;
    g_kill_point = static_cast<int>(std::strtol(rest + 1, nullptr, 10));
    SetPushInterruptForTesting(&KillAtPoint);
    return true;
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
    if (mode == "resize") {
        if (argc < 4) return 2;
        const uint32_t count = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
        bool torn = false;
        data.Visit([&](IDataVisitor* visitor) {
            uint32_t now;
            if (!data_test::ReadGrowing(visitor, &now)) torn = true;
            else data_test::ResizeGrowing(visitor, count);
        });
        return torn ? 3 : 0;
    }
    if ((mode == "triple" || mode == "grow") && argc >= 4 && !ArmKillPoint(argv[3])) return 2;
    if (mode == "grow") {
        for (long visits = 0;; ++visits) {
            g_visit = visits + 1;
            bool ran = false, consistent = true;
            data.Visit([&](IDataVisitor* visitor) {
                ran = true;
                uint32_t count;
                consistent = data_test::ReadGrowing(visitor, &count);
                if (consistent) data_test::ResizeGrowing(visitor, data_test::NextGrowingCount(count));
            });
            if (!ran) return 4;
            if (!consistent) return 3;
            if (visits == 0) SignalParent();
        }
    }
    if (mode == "triple" || mode == "watch") {
        const bool write = mode == "triple";
        int64_t last = -1;
        for (long visits = 0;; ++visits) {
            g_visit = visits + 1;
            bool ran = false, consistent = true;
            int64_t value = 0;
            data.Visit([&](IDataVisitor* visitor) {
                ran = true;
                consistent = write ? data_test::IncrementTriple(visitor) : data_test::ReadTriple(visitor, &value);
            });
            if (!ran) return 4;
            if (!consistent || value < last) return 3;
            last = value;
            if (visits == 0) SignalParent();
            // The reader leaves the writer most of the time, so that kills
            // land in the writer's visits rather than in its waits.
            if (!write) {
                const timespec pause = {0, 1000 * 1000};
                nanosleep(&pause, nullptr);
            }
        }
    }
    if (mode == "tear3") {
        g_kill_point = MiddleOfPublication(3);
        g_visit = 1;
        SetPushInterruptForTesting(&KillAtPoint);
        data.Visit([](IDataVisitor* visitor) { data_test::IncrementTriple(visitor); });
        return 0;  // not reached
    }
    if (mode == "tear") {
        g_kill_point = MiddleOfPublication(1);
        g_visit = 1;
        SetPushInterruptForTesting(&KillAtPoint);
        data.Visit([](IDataVisitor* visitor) { data_test::Increment(visitor); });
        return 0;  // not reached
    }
    return 2;
}
