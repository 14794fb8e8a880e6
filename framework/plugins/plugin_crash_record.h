#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Application {

// The crash check's small file in the data root. Before each built-in or
// library plugin is created and started, the host writes the plugin's name
// there as "starting" (with its file's size and modification time), and
// removes it when start-up is over. A "starting" entry found at the next
// start means the host died on that plugin: it becomes "held", and a held
// plugin is skipped until its file changes or the user asks to retry.
//
// Every write renames a new file into place, so a crash of the host at any
// point leaves a readable record. One object per start-up, on
// the main thread; the file is shared with ClearPluginCrashRecord.
class PluginCrashRecord {
public:
    // A file larger than this was not written by us; it is ignored.
    static constexpr size_t kMaxFileBytes = 256 * 1024;

    struct Stamp {
        int64_t size = -1;
        int64_t mtime_ns = -1;
        bool operator==(const Stamp&) const = default;
    };
    struct Entry {
        std::string name;
        std::string file;  // empty for a built-in plugin
        Stamp stamp;
    };

    // path empty: the check is off and every call does nothing.
    explicit PluginCrashRecord(std::string path);

    // The file of the data root (of the running application, else of the
    // current user); empty when there is none.
    static std::string DefaultPath();
    static Stamp StampOf(const std::string& file);

    // Reads the file. A "starting" entry becomes held; returns that entry's
    // name (empty when start-up ended normally last time).
    std::string Load();
    const Entry* Held(const std::string& name) const;
    // Forgets one held plugin / all of them; the file is written by the next
    // Begin or Finish.
    void Release(const std::string& name);
    size_t ReleaseAll();
    const std::vector<Entry>& held() const { return held_; }

    // Records that the plugin is about to be created or started.
    void Begin(const std::string& name, const std::string& file);
    // Start-up is over: only the held plugins remain.
    void Finish();

    // A library loaded after start-up, on its first call or notification:
    // the same record around its creation and start, beside a start in
    // progress (one plugin's Init may call another into life).
    static void BeginLateStart(const std::string& path, const std::string& name, const std::string& file);
    static void FinishLateStart(const std::string& path, const std::string& name);

    // Forgets every held plugin in the file at path, and the plugin a host
    // that died was starting (it would be held at the next start). Meant for
    // after start-up: a start in progress is forgotten as well. False with
    // error set when the file cannot be written.
    static bool ClearHeld(const std::string& path, std::string* error);

    // The file's text for entries, and back; lines that do not parse are
    // dropped.
    static std::string Encode(const std::vector<Entry>& held, const std::vector<Entry>& starting);
    static void Decode(const std::string& text, std::vector<Entry>* held, std::vector<Entry>* starting);

private:
    const std::string path_;
    std::vector<Entry> held_;
    bool starting_written_ = false;
    bool dirty_ = false;
    bool write_failure_logged_ = false;
};

}  // namespace Application
