#pragma once

#include <Application/InterfaceBase.h>
#include <Tools/config.h>

namespace Application {

// One INI file of the data root, opened with open type 0 (must exist). A
// missing file gives an object whose getters return their defaults and whose
// setters do nothing. Thread safety rests on the INI handle's own lock.
class ConfigFile {
public:
    ConfigFile(const char* path, int open_type) {
        if (Tools::config_open(&config_, path, static_cast<Tools::config_open_type>(open_type)) != 0) {
            Tools::config_close(config_);
            config_ = nullptr;
        }
    }
    ~ConfigFile() { Tools::config_close(config_); }
    ConfigFile(const ConfigFile&) = delete;
    ConfigFile& operator=(const ConfigFile&) = delete;

    const char* GetString(const char* section, const char* key, const char* def) {
        return config_ ? Tools::config_get_string(config_, section, key, def) : def;
    }
    long long GetInt(const char* section, const char* key, long long def) {
        return config_ ? Tools::config_get_int(config_, section, key, def) : def;
    }
    // Re-reads the file, sets the value and saves; false without a file.
    bool SetInt(const char* section, const char* key, long long value) {
        if (!config_) return false;
        Tools::config_reopen(config_);
        Tools::config_set_int(config_, section, key, value);
        Tools::config_save(config_);
        return true;
    }

private:
    Tools::config_data* config_ = nullptr;
};

// Directories and configuration files. Every text returned points into the
// component's cache and stays valid while the component exists (GetSID: until
// the next GetSID call). Directories under the data root are created on first
// request.
class IAppPath : public InterfaceBase {
public:
    virtual const char* GetDataDir() = 0;
    virtual const char* GetLogDir() = 0;
    virtual const char* GetCacheDir() = 0;
    virtual const char* GetExeDir() = 0;
    virtual const char* GetAppDir() = 0;
    virtual const char* GetUploadDir() = 0;
    virtual const char* GetTempDir() = 0;
    virtual const char* GetHeadImageDir() = 0;
    virtual const char* GetWidgetSkinDir() = 0;
    virtual const char* GetCoursewareDir() = 0;
    virtual const char* GetAbDir() = 0;
    virtual const char* GetVideoBgDir() = 0;
    virtual const char* GetExeDirAlias1() = 0;
    virtual const char* GetExeDirAlias2() = 0;
    virtual const char* GetSID() = 0;
    // 1: main_config.ini, 2: recorderConfig.ini, anything else: testmode.ini.
    virtual ConfigFile* GetConfig(int kind) = 0;
};

}  // namespace Application
