#include "framework/core/app_path.h"

#include <memory>
#include <mutex>

#include "Application/Application.h"
#include "Tools/os.h"
#include "framework/core/private_dir.h"

namespace Application {
namespace {

constexpr size_t kPathBufferSize = 1024;

// Node 10 of the data tree carries the host's published identity; field 4 is the SID.
constexpr uint32_t kIdentityNode = 10;
constexpr uint32_t kSidField = 4;

std::vector<uint32_t> IdentityLayout() {
    std::vector<uint32_t> sizes = {8, 128, 128, 128, 32};
    sizes.resize(sizes.size() + 19, 1);
    return sizes;
}

}  // namespace

bool AppPath::Init() {
    GetDataDir();
    GetLogDir();
    GetCacheDir();
    GetExeDir();
    return true;
}

AppPath::~AppPath() { CloseConfigFiles(); }

void AppPath::Free() { CloseConfigFiles(); }

void AppPath::CloseConfigFiles() {
    for (ConfigFile*& file : configs_) {
        delete file;
        file = nullptr;
    }
}

const char* AppPath::DataSubdir(std::string& cache, const char* relative, bool private_to_user) {
    if (!cache.empty()) return cache.c_str();
    char buffer[kPathBufferSize] = {};
    // A root that cannot be determined or does not fit stays uncached, so the next call tries again.
    if (Tools::os_get_program_data_path(buffer, sizeof buffer, relative) <= 0) return cache.c_str();
    if (private_to_user)
        MakePrivateDirectory(buffer);
    else
        Tools::os_mkdirs(buffer);
    cache = buffer;
    return cache.c_str();
}

const char* AppPath::GetDataDir() { return DataSubdir(data_dir_, "VelmoraData"); }
// The logs hold connection switches and whatever plugins write.
const char* AppPath::GetLogDir() { return DataSubdir(log_dir_, "VelmoraData/logs", true); }
const char* AppPath::GetCacheDir() { return DataSubdir(cache_dir_, "VelmoraData/Cache"); }
const char* AppPath::GetUploadDir() { return DataSubdir(upload_dir_, "VelmoraData/Upload"); }
const char* AppPath::GetTempDir() { return DataSubdir(temp_dir_, "VelmoraData/Temp"); }
const char* AppPath::GetHeadImageDir() { return DataSubdir(head_image_dir_, "VelmoraData/headimage"); }
const char* AppPath::GetWidgetSkinDir() { return DataSubdir(widget_skin_dir_, "VelmoraData/WidgetSkin"); }
const char* AppPath::GetCoursewareDir() { return DataSubdir(courseware_dir_, "VelmoraData/courseware"); }
const char* AppPath::GetAbDir() { return DataSubdir(ab_dir_, "VelmoraData/ab"); }
const char* AppPath::GetVideoBgDir() { return DataSubdir(video_bg_dir_, "VelmoraData/video_bg"); }

const char* AppPath::GetExeDir() {
    if (exe_dir_.empty()) {
        char buffer[kPathBufferSize] = {};
        if (Tools::os_get_executable_path(buffer, sizeof buffer, "") > 0) exe_dir_ = buffer;
    }
    return exe_dir_.c_str();
}

const char* AppPath::GetAppDir() { return GetExeDir(); }

const char* AppPath::GetExeDirAlias1() {
    if (exe_dir_alias1_.empty()) exe_dir_alias1_ = GetExeDir();
    return exe_dir_alias1_.c_str();
}

const char* AppPath::GetExeDirAlias2() {
    if (exe_dir_alias2_.empty()) exe_dir_alias2_ = GetExeDir();
    return exe_dir_alias2_.c_str();
}

// A SID in testmode.ini overrides the one the host publishes in the data tree.
const char* AppPath::GetSID() {
    std::string published;
    if (IApplication* app = App(); app && app->GetData()) {
        app->GetData()->Visit([&published](IDataVisitor* visitor) {
            IDataObject* node = visitor->GetObject(kIdentityNode);
            if (!node) return;
            node->SetLayout(IdentityLayout());
            if (const char* sid = node->GetString(kSidField, "")) published = sid;
        });
    }
    ConfigFile* test_mode = GetConfig(0);
    const char* sid = test_mode ? test_mode->GetString("TestMode", "SID", published.c_str()) : published.c_str();
    sid_ = sid ? sid : "";
    return sid_.c_str();
}

ConfigFile* AppPath::GetConfig(int kind) {
    // One object per file, opened on first request and closed by Free: after
    // that the answer is null, which callers already expect of a component
    // that is gone.
    const int slot = kind == 1 ? 1 : kind == 2 ? 2 : 0;
    static const char* const kNames[kConfigFiles] = {"/testmode.ini", "/main_config.ini", "/recorderConfig.ini"};
    std::call_once(config_once_[slot], [this, slot] {
        std::string path = std::string(GetDataDir()) + kNames[slot];
        configs_[slot] = new ConfigFile(path.c_str(), 0);
    });
    return configs_[slot];
}

}  // namespace Application
