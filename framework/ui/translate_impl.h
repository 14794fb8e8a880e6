#pragma once

#include <map>
#include <string>
#include <string_view>

#include "Application/ITranslate.h"

namespace Application {

// The key=value translation table of this process. Loads happen on the main
// thread during start-up, before lookups (from the GUI's translator, on the
// main thread too), so the table has no lock.
class TranslateImpl final : public ITranslate {
public:
    bool Init() override { return true; }
    void Free() override {}
    void LoadFile(const char* path) override;
    void LoadText(const char* text) override;
    const char* Lookup(const char* key) override;

    // Merges text: lines split at LF/CR in any combination; the first '='
    // separates key and value; lines without '=', with an empty key or with an
    // empty value are skipped; later keys replace earlier ones.
    void Merge(std::string_view text);

private:
    std::string file_;
    std::map<std::string, std::string, std::less<>> table_;
};

}  // namespace Application
