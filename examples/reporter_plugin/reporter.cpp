// "ExePluginReporter": receives the host's log records, events and backup
// requests and appends them, decoded, to a text file (the "-reporter_output="
// switch, else reporter.txt in the data root), one line per command:
//   command 1 length=0
//   command 3 time=<s> level=<name> message=<text>
//   command 4 time=<ms> id=<event id> body=<json> value=<n>
//   command 9 flag=<byte>
// and "command <n> malformed length=<bytes>" for data off its layout.
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <new>
#include <string>

#include <Application/Application.h>
#include <Tools/memory.h>

#include "../process_plugin/process_main.h"

namespace {

class Reader {
public:
    Reader(const char* data, int32_t length) : data_(data), left_(data && length > 0 ? static_cast<size_t>(length) : 0) {}
    bool U64(uint64_t& value) { return Number(value, 8); }
    bool U32(uint32_t& value) {
        uint64_t wide = 0;
        if (!Number(wide, 4)) return false;
        value = static_cast<uint32_t>(wide);
        return true;
    }
    bool Text(std::string& text) {
        uint32_t size = 0;
        if (!U32(size) || left_ < size) return false;
        text.assign(data_, size);
        data_ += size;
        left_ -= size;
        return true;
    }
    // The single 0 byte that closes records 3 and 4.
    bool Terminator() {
        if (left_ < 1 || data_[0] != '\0') return false;
        ++data_;
        --left_;
        return true;
    }
    bool AtEnd() const { return left_ == 0; }

private:
    bool Number(uint64_t& value, size_t width) {
        if (left_ < width) return false;
        value = 0;
        for (size_t i = 0; i < width; ++i) value |= static_cast<uint64_t>(static_cast<unsigned char>(data_[i])) << (8 * i);
        data_ += width;
        left_ -= width;
        return true;
    }
    const char* data_;
    size_t left_;
};

// One line per record: line breaks and backslashes in texts are escaped.
std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out.push_back(c);
    }
    return out;
}

class ReporterPlugin final : public Application::IPlugin {
public:
    bool Init() override {
        char path[1024] = {};
        Application::App()->GetCmdLineMgr()->GetValue("reporter_output", path, sizeof path);
        output_ = path[0] ? path : std::string(Application::App()->GetAppPath()->GetDataDir()) + "/reporter.txt";
        return true;
    }
    void Free() override {}
    const char* GetName() override { return "ExePluginReporter"; }

    // Any thread. A record that does not match its command's layout exactly
    // (short, trailing bytes, no closing 0 byte) is written as "malformed".
    void Invoke(int32_t command, const char* data, int32_t length, Application::InvokeCallback) override {
        Reader reader(data, length);
        std::string fields;
        bool valid = false;
        if (command == 1) {
            valid = reader.AtEnd();
        } else if (command == 3) {
            uint64_t time = 0;
            std::string message, level;
            valid = reader.U64(time) && reader.Text(message) && reader.Text(level) && reader.Terminator() &&
                    reader.AtEnd();
            fields = " time=" + std::to_string(time) + " level=" + Escaped(level) + " message=" + Escaped(message);
        } else if (command == 4) {
            uint64_t time = 0;
            uint32_t value = 0;
            std::string id, body;
            valid = reader.U64(time) && reader.Text(id) && reader.Text(body) && reader.U32(value) &&
                    reader.Terminator() && reader.AtEnd();
            fields = " time=" + std::to_string(time) + " id=" + Escaped(id) + " body=" + Escaped(body) +
                     " value=" + std::to_string(value);
        } else if (command == 9) {
            valid = length == 1 && data;
            if (valid) fields = " flag=" + std::to_string(static_cast<unsigned char>(data[0]));
        } else {
            valid = true;
        }
        std::string line = "command " + std::to_string(command);
        if (valid)
            line += fields.empty() ? " length=" + std::to_string(length) : fields;
        else
            line += " malformed length=" + std::to_string(length);
        std::lock_guard<std::mutex> guard(lock_);
        if (FILE* file = std::fopen(output_.c_str(), "a")) {
            std::fprintf(file, "%s\n", line.c_str());
            std::fclose(file);
        }
    }

private:
    std::mutex lock_;
    std::string output_;
};

}  // namespace

int main(int argc, char** argv) {
    void* memory = Malloc(sizeof(ReporterPlugin));
    return RunPluginProcess(argc, argv, new (memory) ReporterPlugin);
}
