#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Application/IUISkin.h"
#include "framework/data/data_sync.h"

namespace Application {

// The skin packages beside the application ("SkinResource/LightMode.rcc",
// "DarkMode.rcc", base "Kestrun.rcc") and the selected index. The framework
// does not link the GUI toolkit: it only names the packages and announces a
// change as messages 3 and 4 of "app", always on the main thread; the host
// registers the packages with its resource system in response.
class UISkinImpl final : public IUISkin, public DataSync::IDataSyncer {
public:
    static constexpr const char* kPackageFiles[] = {"LightMode.rcc", "DarkMode.rcc"};
    static constexpr const char* kBasePackageFile = "Kestrun.rcc";

    UISkinImpl();
    ~UISkinImpl() override;

    bool Init() override;
    void Free() override {}
    // Any thread: the index changes at once, the announcement runs on the main
    // thread. Announcements keep the order of the changes, whichever threads
    // made them, so a listener that swaps packages ends on the current one.
    void SetSkinIndex(int index) override;
    int GetSkinIndex() override { return current_index_.load(); }
    const char* GetSkinPath(int index) override;
    const char* GetBaseSkinPath() override { return base_path_.c_str(); }

    // The package list as mirrored to plugin processes: u32 count, then
    // count times (u32 length, path bytes), little-endian.
    std::string SaveState() override;
    // Replaces the package list by the paths that parse completely; the index
    // and the base path stay. Runs on the synchroniser's thread.
    void LoadState(const std::string& state) override;

    static std::string SkinChangePayload(const std::string& previous, const std::string& next);

private:
    using PackageList = std::vector<std::string>;
    void ReplacePackages(PackageList packages);
    void Announce(const std::string& previous, const std::string& next);
    void RunPostedAnnouncement(const std::string& previous, const std::string& next);

    std::atomic<int> current_index_{-1};
    // Orders index changes with their announcements: a change on the main
    // thread announces at once only while no posted announcement is waiting
    // and no announcement is running (a listener that changes the skin
    // again); otherwise it queues behind them.
    std::mutex order_lock_;
    int posted_announcements_ = 0;
    int running_announcements_ = 0;  // main thread only
    std::string base_path_;
    // Texts handed out by GetSkinPath stay valid while the component lives:
    // a replaced list is retired, not freed, since readers on other threads
    // may still hold its texts.
    std::mutex lists_lock_;
    std::vector<std::unique_ptr<const PackageList>> lists_;
    std::atomic<const PackageList*> packages_{nullptr};
};

}  // namespace Application
