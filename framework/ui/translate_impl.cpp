#include "framework/ui/translate_impl.h"

#include <cstring>

#include "Tools/memory.h"
#include "Tools/os.h"

namespace Application {

void TranslateImpl::LoadFile(const char* path) {
    file_ = path ? path : "";
    if (!path) return;
    char* text = Tools::os_quick_read_utf8_file(path);
    if (!text) return;
    Merge(text);
    ::Free(text);
}

void TranslateImpl::LoadText(const char* text) {
    if (text) Merge(std::string_view(text, std::strlen(text)));
}

const char* TranslateImpl::Lookup(const char* key) {
    auto it = table_.find(std::string_view(key ? key : ""));
    return it == table_.end() ? nullptr : it->second.c_str();
}

void TranslateImpl::Merge(std::string_view text) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find_first_of(std::string_view("\n\r\0", 3), pos);
        if (end == std::string_view::npos) end = text.size();
        if (end == pos) {
            ++pos;
            continue;
        }
        const std::string_view line = text.substr(pos, end - pos);
        const size_t equals = line.find('=');
        if (equals != std::string_view::npos && equals > 0 && equals + 1 < line.size())
            table_.insert_or_assign(std::string(line.substr(0, equals)), std::string(line.substr(equals + 1)));
        pos = end;
        while (pos < text.size() && (text[pos] == '\n' || text[pos] == '\r')) ++pos;
    }
}

}  // namespace Application
