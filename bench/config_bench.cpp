// INI files: open, read 10 000 keys, save, against a plain std::map reader.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "Tools/config.h"

namespace {

constexpr int kKeys = 10000;

struct Layout {
    int sections;
    int keys_per_section;
};

std::string SectionName(int s) { return "Section" + std::to_string(s); }
std::string KeyName(int k) { return "key_" + std::to_string(k); }

class Fixture {
public:
    explicit Fixture(Layout layout) : layout_(layout) {
        std::string pattern = (std::filesystem::temp_directory_path() / "config_bench_XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        dir_ = pattern;
        path_ = (dir_ / "bench.ini").string();
        std::string text = "\xEF\xBB\xBF";
        for (int s = 0; s < layout.sections; ++s) {
            if (s) text += "\r\n";
            text += '[';
            text += SectionName(s);
            text += "]\r\n";
            for (int k = 0; k < layout.keys_per_section; ++k) {
                text += KeyName(k);
                text += "=value number ";
                text += std::to_string(s * layout.keys_per_section + k);
                text += "\r\n";
            }
        }
        std::ofstream(path_, std::ios::binary) << text;
        bytes_ = text.size();
    }
    ~Fixture() { std::filesystem::remove_all(dir_); }

    const std::string& path() const { return path_; }
    size_t bytes() const { return bytes_; }
    Layout layout() const { return layout_; }

private:
    Layout layout_;
    std::filesystem::path dir_;
    std::string path_;
    size_t bytes_ = 0;
};

Layout LayoutOf(const benchmark::State& state) {
    const int sections = static_cast<int>(state.range(0));
    return Layout{sections, kKeys / sections};
}

void BM_ConfigOpen(benchmark::State& state) {
    Fixture fixture(LayoutOf(state));
    for (auto _ : state) {
        Tools::config_data* config = nullptr;
        if (Tools::config_open(&config, fixture.path().c_str(), Tools::CONFIG_OPEN_EXISTING) != 0) std::abort();
        Tools::config_close(config);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fixture.bytes()));
}

void BM_ConfigReadAllKeys(benchmark::State& state) {
    Fixture fixture(LayoutOf(state));
    const Layout layout = fixture.layout();
    Tools::config_data* config = nullptr;
    if (Tools::config_open(&config, fixture.path().c_str(), Tools::CONFIG_OPEN_EXISTING) != 0) std::abort();
    std::vector<std::string> sections, keys;
    for (int s = 0; s < layout.sections; ++s) sections.push_back(SectionName(s));
    for (int k = 0; k < layout.keys_per_section; ++k) keys.push_back(KeyName(k));
    for (auto _ : state) {
        size_t total = 0;
        for (const auto& section : sections) {
            for (const auto& key : keys) total += *Tools::config_get_string(config, section.c_str(), key.c_str(), "");
        }
        benchmark::DoNotOptimize(total);
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
    Tools::config_close(config);
}

void BM_ConfigSave(benchmark::State& state) {
    Fixture fixture(LayoutOf(state));
    Tools::config_data* config = nullptr;
    if (Tools::config_open(&config, fixture.path().c_str(), Tools::CONFIG_OPEN_EXISTING) != 0) std::abort();
    for (auto _ : state) {
        if (Tools::config_save(config) != 0) std::abort();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fixture.bytes()));
    Tools::config_close(config);
}

// Baseline: a minimal reader into std::map with lower-cased "section\nkey" names.
using PlainIni = std::map<std::string, std::string>;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

PlainIni PlainRead(const std::string& path) {
    PlainIni ini;
    std::ifstream in(path, std::ios::binary);
    std::string line, section;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line[0] == '[') {
            section = Lower(line.substr(1, line.find(']') - 1));
            continue;
        }
        const size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        ini.emplace(section + "\n" + Lower(line.substr(0, equals)), line.substr(equals + 1));
    }
    return ini;
}

void BM_BaselineMapOpen(benchmark::State& state) {
    Fixture fixture(LayoutOf(state));
    for (auto _ : state) benchmark::DoNotOptimize(PlainRead(fixture.path()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fixture.bytes()));
}

void BM_BaselineMapReadAllKeys(benchmark::State& state) {
    Fixture fixture(LayoutOf(state));
    const Layout layout = fixture.layout();
    const PlainIni ini = PlainRead(fixture.path());
    std::vector<std::string> sections, keys;
    for (int s = 0; s < layout.sections; ++s) sections.push_back(SectionName(s));
    for (int k = 0; k < layout.keys_per_section; ++k) keys.push_back(KeyName(k));
    for (auto _ : state) {
        size_t total = 0;
        for (const auto& section : sections) {
            for (const auto& key : keys) {
                auto it = ini.find(Lower(section) + "\n" + Lower(key));
                total += it == ini.end() ? 0 : it->second[0];
            }
        }
        benchmark::DoNotOptimize(total);
    }
    state.SetItemsProcessed(state.iterations() * kKeys);
}

void BM_BaselineMapSave(benchmark::State& state) {
    Fixture fixture(LayoutOf(state));
    const PlainIni ini = PlainRead(fixture.path());
    const std::string out = fixture.path() + ".plain";
    for (auto _ : state) {
        std::string text = "\xEF\xBB\xBF";
        for (const auto& [name, value] : ini) text += name + "=" + value + "\r\n";
        std::ofstream(out, std::ios::binary) << text;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * fixture.bytes()));
}

// Argument: number of sections holding the 10 000 keys.
BENCHMARK(BM_ConfigOpen)->Arg(1)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConfigReadAllKeys)->Arg(1)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConfigSave)->Arg(1)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BaselineMapOpen)->Arg(1)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BaselineMapReadAllKeys)->Arg(1)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BaselineMapSave)->Arg(1)->Arg(100)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
