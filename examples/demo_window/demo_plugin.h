#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "Application/Application.h"

class DemoWindow;

// A shared-library plugin that opens the demo window in the host process.
// Construction, Init and Free run on the GUI thread (the plugin manager's
// thread).
class DemoPlugin final : public Application::IPlugin {
public:
    static constexpr const char* kName = "DemoWindow";
    static constexpr const char* kProcessPluginName = "SampleProcess";
    static constexpr int32_t kEchoCommand = 1;
    // Answers the window title; lets a test see that the window is up.
    static constexpr int32_t kTitleCommand = 1;

    // Shared with notification handlers and call answers, which run on
    // other threads and may outlive the window.
    struct WindowLink {
        std::mutex lock;
        DemoWindow* window = nullptr;
        std::string title;  // the window's title, for kTitleCommand from any thread
    };
    static std::shared_ptr<WindowLink> Link();

    // Subscribes to the process notifications at once, so the window shows a
    // process plugin that connects or ends without waiting for its next
    // refresh; the plugin manager creates every plugin before it starts any.
    DemoPlugin();
    ~DemoPlugin() override;

    bool Init() override;
    void Free() override;
    const char* GetName() override { return kName; }
    void Invoke(int32_t command, const char* data, int32_t length, Application::InvokeCallback callback) override;

private:
    void Unsubscribe();

    DemoWindow* window_ = nullptr;
    int64_t window_id_ = 0;
    uintptr_t connected_subscription_ = 0;
    uintptr_t ended_subscription_ = 0;
};
