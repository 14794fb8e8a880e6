#pragma once

#include <mutex>
#include <string>

#include "Application/IAppPath.h"

namespace Application {

// Directories of the data root (created on first request), the executable's
// directory, the three configuration files and the SID. Answers are cached
// for the component's life (the SID excepted). The caches are filled without
// a lock: callers are the main thread and plugin code during start-up.
class AppPath : public IAppPath {
public:
    AppPath() = default;
    ~AppPath() override;
    AppPath(const AppPath&) = delete;
    AppPath& operator=(const AppPath&) = delete;

    bool Init() override;
    // Closes the configuration files; the workers are stopped by then.
    void Free() override;
    const char* GetDataDir() override;
    const char* GetLogDir() override;
    const char* GetCacheDir() override;
    const char* GetExeDir() override;
    const char* GetAppDir() override;
    const char* GetUploadDir() override;
    const char* GetTempDir() override;
    const char* GetHeadImageDir() override;
    const char* GetWidgetSkinDir() override;
    const char* GetCoursewareDir() override;
    const char* GetAbDir() override;
    const char* GetVideoBgDir() override;
    const char* GetExeDirAlias1() override;
    const char* GetExeDirAlias2() override;
    const char* GetSID() override;
    ConfigFile* GetConfig(int kind) override;

private:
    static constexpr int kConfigFiles = 3;

    const char* DataSubdir(std::string& cache, const char* relative, bool private_to_user = false);
    void CloseConfigFiles();

    std::once_flag config_once_[kConfigFiles];
    ConfigFile* configs_[kConfigFiles] = {};

    std::string data_dir_;
    std::string log_dir_;
    std::string cache_dir_;
    std::string exe_dir_;
    std::string upload_dir_;
    std::string temp_dir_;
    std::string head_image_dir_;
    std::string courseware_dir_;
    std::string ab_dir_;
    std::string video_bg_dir_;
    std::string widget_skin_dir_;
    std::string exe_dir_alias1_;
    std::string exe_dir_alias2_;
    std::string sid_;
};

}  // namespace Application
