#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "Application/Application.h"

class DemoWindow;

// A shared-library plugin that opens the demo window in the host process.
// Init and Free run on the GUI thread (the plugin manager's thread).
class DemoPlugin final : public Application::IPlugin {
public:
    static constexpr const char* kName = "DemoWindow";
    static constexpr const char* kProcessPluginName = "SampleProcess";
    static constexpr int32_t kEchoCommand = 1;
    // Answers the window title; lets a test see that the window is up.
    static constexpr int32_t kTitleCommand = 1;

    // Answers from other threads reach the window only while it exists.
    struct WindowLink {
        std::mutex lock;
        DemoWindow* window = nullptr;
    };
    static std::shared_ptr<WindowLink> Link();

    bool Init() override;
    void Free() override;
    const char* GetName() override { return kName; }
    void Invoke(int32_t command, const char* data, int32_t length, Application::InvokeCallback callback) override;

private:
    DemoWindow* window_ = nullptr;
    uintptr_t connected_subscription_ = 0;
    uintptr_t ended_subscription_ = 0;
};
