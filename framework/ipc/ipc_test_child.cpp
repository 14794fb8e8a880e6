// The child process of the IPC tests: one client endpoint, steered by the
// frames its host sends.
//   -mode=echo (default)  greets with "H<tag>", then serves the commands below
//   -mode=noswitch        exits with the number of connect callbacks seen
//   -mode=expectfail      exits 0 when exactly one callback (false) arrived
// Frames from the host: "D..." data frames, checked;
// "Csizes:a,b,..." sends sized frames; "Cburst:T:N" sends N data frames from
// each of T threads at once; "Creport" answers "R<good> <bad>"; "Cexit" ends;
// any other frame (the empty one too) is echoed back.

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "framework/core/cmdline_mgr.h"
#include "framework/ipc/ipc_mgr.h"
#include "framework/ipc/ipc_test_support.h"

using namespace Application;
using namespace Application::ipc::testing;

namespace {

std::mutex g_mutex;
std::condition_variable g_changed;
bool g_done = false;
int g_connect_calls = 0;
bool g_last_connect = false;

std::mutex g_check_mutex;
uint32_t g_next_sequence[256] = {};
long g_good = 0;
long g_bad = 0;

std::mutex g_burst_mutex;
std::vector<std::thread> g_bursts;

std::string Switch(const char* name) {
    char value[256] = {};
    ProcessCmdLineMgr()->GetValue(name, value, sizeof value);
    return value;
}

void Finish() {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_done = true;
    g_changed.notify_all();
}

void Burst(IIPCClient* client, int threads, int count) {
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t) {
        senders.emplace_back([client, t, count] {
            for (int s = 0; s < count; ++s) {
                const std::string frame = MakeDataFrame(static_cast<unsigned>(t), static_cast<uint32_t>(s),
                                                        BurstFrameSize(static_cast<uint32_t>(s)));
                client->Send(frame.data(), static_cast<int>(frame.size()));
            }
        });
    }
    for (auto& sender : senders) sender.join();
}

void OnFrame(IIPCClient* client, const char* data, int length) {
    const std::string frame(data, static_cast<size_t>(length));
    if (frame.empty() || (frame[0] != 'C' && frame[0] != 'D')) {
        client->Send(data, length);
        return;
    }
    switch (frame[0]) {
        case 'D': {
            unsigned thread = 0;
            uint32_t sequence = 0;
            std::lock_guard<std::mutex> guard(g_check_mutex);
            if (CheckDataFrame(data, frame.size(), &thread, &sequence) && g_next_sequence[thread] == sequence) {
                ++g_next_sequence[thread];
                ++g_good;
            } else {
                ++g_bad;
            }
            return;
        }
        default:
            break;
    }
    if (frame == "Cexit") {
        Finish();
    } else if (frame.rfind("Csizes:", 0) == 0) {
        std::string list = frame.substr(7);
        size_t start = 0;
        while (start <= list.size()) {
            const size_t comma = list.find(',', start);
            const std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            const std::string sized = MakeSizedFrame(std::strtoul(item.c_str(), nullptr, 10));
            client->Send(sized.data(), static_cast<int>(sized.size()));
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
    } else if (frame.rfind("Cburst:", 0) == 0) {
        int threads = 0;
        int count = 0;
        if (std::sscanf(frame.c_str(), "Cburst:%d:%d", &threads, &count) == 2) {
            // Off this thread, so the endpoint keeps receiving meanwhile.
            std::lock_guard<std::mutex> guard(g_burst_mutex);
            g_bursts.emplace_back([client, threads, count] { Burst(client, threads, count); });
        }
    } else if (frame == "Creport") {
        std::string report;
        {
            std::lock_guard<std::mutex> guard(g_check_mutex);
            report = "R" + std::to_string(g_good) + " " + std::to_string(g_bad);
        }
        client->Send(report.data(), static_cast<int>(report.size()));
    }
}

}  // namespace

int main(int argc, char** argv) {
    ProcessCmdLineMgr()->Parse(argc, argv);
    const std::string mode = Switch("mode").empty() ? "echo" : Switch("mode");
    const std::string tag = Switch("tag");

    IPCMgrImpl manager;
    manager.Init();
    IIPCClient* client = manager.CreateClient();
    client->SetConnectCallback([client, &mode, &tag](bool connected) {
        {
            std::lock_guard<std::mutex> guard(g_mutex);
            ++g_connect_calls;
            g_last_connect = connected;
        }
        if (connected && mode == "echo") {
            const std::string hello = "H" + tag;
            client->Send(hello.data(), static_cast<int>(hello.size()));
        }
        if (!connected) Finish();
    });
    client->SetRecvCallback([client](const char* data, int length) { OnFrame(client, data, length); });
    client->Init();

    int code = 0;
    if (mode == "noswitch") {
        manager.DestroyClient(client);
        code = g_connect_calls;
    } else {
        {
            std::unique_lock<std::mutex> lock(g_mutex);
            g_changed.wait(lock, [] { return g_done; });
        }
        {
            std::lock_guard<std::mutex> guard(g_burst_mutex);
            for (auto& burst : g_bursts) burst.join();
        }
        manager.DestroyClient(client);
        if (mode == "expectfail") code = (g_connect_calls == 1 && !g_last_connect) ? 0 : 1;
    }
    manager.Free();
    return code;
}
