#include "framework/ui/ui_skin_impl.h"

#include <cstring>

#include "Application/Application.h"
#include "tools/payload.h"

namespace Application {
using Tools::detail::PayloadReader;
using Tools::detail::PayloadWriter;

UISkinImpl::UISkinImpl() {
    ReplacePackages({});
    DataSync::DataSyncMgr::Instance()->Register("UISkin", this);
}

// The registry has no removal: leave a null entry rather than a dangling one.
UISkinImpl::~UISkinImpl() { DataSync::DataSyncMgr::Instance()->Register("UISkin", nullptr); }

bool UISkinImpl::Init() {
    IAppPath* paths = App() ? App()->GetAppPath() : nullptr;
    const std::string prefix = std::string(paths ? paths->GetAppDir() : "") + "/SkinResource/";
    PackageList packages;
    for (const char* file : kPackageFiles) packages.push_back(prefix + file);
    base_path_ = prefix + kBasePackageFile;
    ReplacePackages(std::move(packages));
    SetSkinIndex(0);
    return true;
}

const char* UISkinImpl::GetSkinPath(int index) {
    const PackageList* packages = packages_.load();
    if (index < 0 || static_cast<size_t>(index) >= packages->size()) return "";
    return (*packages)[static_cast<size_t>(index)].c_str();
}

void UISkinImpl::SetSkinIndex(int index) {
    IApplication* app = App();
    IThreadTaskMgr* tasks = app ? app->GetThreadTaskMgr() : nullptr;
    const bool on_main = !tasks || tasks->IsMainThread();
    std::string previous;
    std::string next;
    {
        std::lock_guard<std::mutex> guard(order_lock_);
        const int previous_index = current_index_.exchange(index);
        if (previous_index == index) return;
        previous = GetSkinPath(previous_index);
        next = GetSkinPath(index);
        if (tasks && (!on_main || posted_announcements_ > 0 || running_announcements_ > 0)) {
            ++posted_announcements_;
            // The component outlives the main-thread queue: the application
            // object stops the task manager before it frees any component.
            tasks->PostMainThreadTask([this, previous = std::move(previous), next = std::move(next)] {
                RunPostedAnnouncement(previous, next);
            });
            return;
        }
    }
    Announce(previous, next);
}

void UISkinImpl::RunPostedAnnouncement(const std::string& previous, const std::string& next) {
    {
        std::lock_guard<std::mutex> guard(order_lock_);
        --posted_announcements_;
    }
    Announce(previous, next);
}

std::string UISkinImpl::SkinChangePayload(const std::string& previous, const std::string& next) {
    return PayloadWriter().Text(previous).Text(next).Take();
}

void UISkinImpl::Announce(const std::string& previous, const std::string& next) {
    IApplication* app = App();
    INotifier* notifier = app ? app->GetNotifier() : nullptr;
    if (!notifier) return;
    const std::string payload = SkinChangePayload(previous, next);
    ++running_announcements_;
    notifier->Notify(app->GetName(), kAppSkinChanged, payload.data(), static_cast<int>(payload.size()));
    notifier->Notify(app->GetName(), kAppSkinChangedAfter, payload.data(), static_cast<int>(payload.size()));
    --running_announcements_;
}

std::string UISkinImpl::SaveState() {
    const PackageList* packages = packages_.load();
    PayloadWriter state;
    state.U32(static_cast<uint32_t>(packages->size()));
    for (const std::string& path : *packages) state.Text(path);
    return state.Take();
}

void UISkinImpl::LoadState(const std::string& state) {
    // The packages read before a field that does not fit are kept.
    PackageList packages;
    PayloadReader reader(state);
    uint32_t count = 0;
    std::string path;
    if (reader.U32(count))
        for (uint32_t i = 0; i < count && reader.Text(path); ++i) packages.push_back(path);
    ReplacePackages(std::move(packages));
}

void UISkinImpl::ReplacePackages(PackageList packages) {
    std::lock_guard<std::mutex> guard(lists_lock_);
    lists_.push_back(std::make_unique<const PackageList>(std::move(packages)));
    packages_.store(lists_.back().get());
}

}  // namespace Application
