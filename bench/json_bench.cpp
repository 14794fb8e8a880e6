// Parse and serialize throughput of Tools::json::Json against RapidJSON (DOM,
// default flags) and nlohmann-json, over documents generated here. Figures are
// bytes of the generated document per second, so that the ratios between
// libraries are ratios of time per document.
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "bench/summary.h"
#include "tools/json.h"

namespace {

using Tools::json::Json;

// Deterministic pseudo-random numbers, so every run sees the same documents.
struct Random {
    uint64_t state = 0x9E3779B97F4A7C15ULL;
    uint64_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    int below(int n) { return static_cast<int>(next() % static_cast<uint64_t>(n)); }
    double unit() { return static_cast<double>(next() >> 11) / 9007199254740992.0; }
};

std::string format(const char* pattern, auto... args) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, pattern, args...);
    return buffer;
}

// A pretty-printed plugin configuration with 100 entries.
std::string plugin_config() {
    Random random;
    std::string out = "{\n  \"plugin_process\": \"PluginProcess.exe\",\n  \"plugins\": [\n";
    for (int i = 0; i < 100; ++i) {
        int type = 1 + random.below(3);
        out += format(
            "    {\n      \"type\": %d,\n      \"file\": \"plugins/module%d/libPlugin%d.so\",\n"
            "      \"name\": \"Plugin%d\",\n      \"cmdline\": \"-mode=fast -level=%d -title=\\\"Plugin %d\\\"\",\n"
            "      \"plugin_process\": \"%s\",\n      \"ensure_process\": %s,\n      \"load_delay\": %s,\n"
            "      \"startup_info\": {\"msg_id\": %d, \"msg_mod\": \"app\"}\n    }%s\n",
            type, i, i, i, random.below(10), i, type == 3 ? "PluginHost.exe" : "", random.below(2) ? "true" : "false",
            random.below(2) ? "true" : "false", random.below(7), i == 99 ? "" : ",");
    }
    out += "  ]\n}\n";
    return out;
}

// About 1 MB: an array of records mixing integers, 64-bit integers, doubles,
// booleans, short and longer strings, a nested object and a small array.
std::string records() {
    Random random;
    static const char* const words[] = {"alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"};
    std::string out = "[";
    for (int i = 0; out.size() < 1000000; ++i) {
        if (i) out += ", ";
        out += format(
            "{\"id\": %d, \"uid\": %lld, \"name\": \"user_%d\", \"email\": \"user%d@example.org\", "
            "\"score\": %.17g, \"ratio\": %.4f, \"active\": %s, \"tags\": [\"%s\", \"%s\"], "
            "\"note\": \"%s\", \"location\": {\"lat\": %.6f, \"lon\": %.6f}}",
            i, static_cast<long long>(random.next() >> 2), i, random.below(100000), random.unit() * 1000.0,
            random.unit(), random.below(2) ? "true" : "false", words[random.below(8)], words[random.below(8)],
            random.below(4) ? "a plain note about nothing in particular"
                            : "caf\\u00e9 \\\"quoted\\\" line\\nbreak \\ud83d\\ude00",
            random.unit() * 180.0 - 90.0, random.unit() * 360.0 - 180.0);
    }
    out += "]";
    return out;
}

// Values nested 150 levels deep (objects and arrays alternating), 200 times.
std::string deep() {
    std::string out = "[";
    for (int i = 0; i < 200; ++i) {
        if (i) out += ", ";
        for (int level = 0; level < 75; ++level) out += "{\"level\": [";
        out += std::to_string(i);
        for (int level = 0; level < 75; ++level) out += "]}";
    }
    out += "]";
    return out;
}

void parse_velmora(benchmark::State& state, const std::string* doc) {
    for (auto _ : state) {
        std::string error;
        Json value = Json::parse(*doc, error);
        if (!error.empty()) state.SkipWithError(error.c_str());
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(doc->size()));
}

void parse_rapidjson(benchmark::State& state, const std::string* doc) {
    for (auto _ : state) {
        rapidjson::Document value;
        value.Parse(doc->data(), doc->size());
        if (value.HasParseError()) state.SkipWithError("parse error");
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(doc->size()));
}

void parse_nlohmann(benchmark::State& state, const std::string* doc) {
    for (auto _ : state) {
        nlohmann::json value = nlohmann::json::parse(*doc);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(doc->size()));
}

void serialize_velmora(benchmark::State& state, const std::string* doc) {
    std::string error;
    Json value = Json::parse(*doc, error);
    for (auto _ : state) {
        std::string out;
        value.serialize(out);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(doc->size()));
}

void serialize_rapidjson(benchmark::State& state, const std::string* doc) {
    rapidjson::Document value;
    value.Parse(doc->data(), doc->size());
    for (auto _ : state) {
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        value.Accept(writer);
        benchmark::DoNotOptimize(buffer.GetString());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(doc->size()));
}

void serialize_nlohmann(benchmark::State& state, const std::string* doc) {
    nlohmann::json value = nlohmann::json::parse(*doc);
    for (auto _ : state) {
        std::string out = value.dump();
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(doc->size()));
}

// Prints as the console does and keeps each benchmark's bytes per second.
class RateReporter : public benchmark::ConsoleReporter {
public:
    // Without colours: the output usually goes to a log.
    RateReporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            auto rate = run.counters.find("bytes_per_second");
            if (rate != run.counters.end()) rates[run.benchmark_name()] = rate->second.value;
        }
    }
    std::map<std::string, double> rates;  // bytes per second, by benchmark name
};

}  // namespace

int main(int argc, char** argv) {
    static const std::string config = plugin_config();
    static const std::string big = records();
    static const std::string nested = deep();
    struct Document {
        const char* name;
        const std::string* text;
    };
    const Document documents[] = {{"config", &config}, {"records", &big}, {"deep", &nested}};
    for (const Document& d : documents) {
        std::printf("%s: %zu bytes\n", d.name, d.text->size());
        benchmark::RegisterBenchmark((std::string("parse/") + d.name + "/velmora").c_str(), parse_velmora, d.text);
        benchmark::RegisterBenchmark((std::string("parse/") + d.name + "/rapidjson").c_str(), parse_rapidjson, d.text);
        benchmark::RegisterBenchmark((std::string("parse/") + d.name + "/nlohmann").c_str(), parse_nlohmann, d.text);
    }
    for (const Document& d : documents) {
        benchmark::RegisterBenchmark((std::string("serialize/") + d.name + "/velmora").c_str(), serialize_velmora,
                                     d.text);
        benchmark::RegisterBenchmark((std::string("serialize/") + d.name + "/rapidjson").c_str(),
                                     serialize_rapidjson, d.text);
        benchmark::RegisterBenchmark((std::string("serialize/") + d.name + "/nlohmann").c_str(), serialize_nlohmann,
                                     d.text);
    }
    benchmark::Initialize(&argc, argv);
    RateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    // Parse throughput of each document against RapidJSON in the same run
    // (ratio = ours / RapidJSON, so below 1 means slower), nlohmann-json beside.
    auto rate = [&](const std::string& name) {
        auto it = reporter.rates.find(name);
        return it == reporter.rates.end() ? 0.0 : it->second / 1e6;
    };
    const std::pair<const char*, const char*> keys[] = {
        {"config", "json_config"}, {"records", "json_records"}, {"deep", "json_nesting"}};
    std::printf("JSON parse MB/s; SUMMARY ratio = ours / RapidJSON (below 1: slower than RapidJSON)\n");
    for (const auto& [document, key] : keys) {
        const std::string base = std::string("parse/") + document + "/";
        const double ours = rate(base + "velmora");
        const double rapidjson = rate(base + "rapidjson");
        const double nlohmann = rate(base + "nlohmann");
        if (ours == 0 || rapidjson == 0) continue;  // filtered out or failed: no figure rather than a false one
        std::printf("json %s: ours %.1f MB/s, RapidJSON %.1f MB/s, nlohmann-json %.1f MB/s (ours / nlohmann %.2f)\n",
                    document, ours, rapidjson, nlohmann, nlohmann != 0 ? ours / nlohmann : 0.0);
        PrintSummary(key, ours, "MB/s", rapidjson);
    }
    return 0;
}
