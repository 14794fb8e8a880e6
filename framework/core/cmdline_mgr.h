#pragma once

#include <map>
#include <string>
#include <string_view>

#include "Application/ICmdLineMgr.h"

namespace Application {

// The table of "-name=value" (or "/name=value") switches. Filled by Parse on
// the creating thread before any component starts; read-only afterwards, so
// lookups from any thread need no lock.
class CmdLineMgrT final : public ICmdLineMgr {
public:
    bool Init() override { return true; }
    void Free() override {}
    bool Has(const char* name) override;
    int GetValue(const char* name, char* buffer, int size) override;

    // Later values overwrite earlier ones; may be called more than once.
    void Parse(int argc, char** argv);
    void ParseArgument(std::string_view argument);

private:
    std::map<std::string, std::string, std::less<>> switches_;
};

// The one process-wide table, created on first use and kept until exit.
CmdLineMgrT* ProcessCmdLineMgr();

}  // namespace Application
