#include "framework/plugins/plugin_mgr.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Application/InnerPlugin.h"
#include "framework/plugins/plugin_factory_registry.h"
#include "framework/plugins/plugin_test_app.h"

namespace Application {
namespace {

using plugin_test::LogLine;
using plugin_test::RecordingLog;

std::vector<std::string>& Events() {
    static std::vector<std::string> events;
    return events;
}
void Record(const std::string& event) { Events().push_back(event); }

// Reports reported_name; its Init records what GetPlugin finds for probes.
class ProbePlugin final : public IPlugin {
public:
    ProbePlugin(std::string reported_name, std::vector<std::string> probes)
        : name_(std::move(reported_name)), probes_(std::move(probes)) {
        Record("create " + name_);
    }
    ~ProbePlugin() override { Record("destroy " + name_); }
    bool Init() override {
        Record("init " + name_);
        for (const auto& probe : probes_)
            Record("  " + name_ + " sees " + probe + "=" +
                   (App()->GetPluginMgr()->GetPlugin(probe.c_str()) ? "yes" : "null"));
        return name_ != "FailsInit";
    }
    void Free() override { Record("free " + name_); }
    const char* GetName() override { return name_.c_str(); }
    void Invoke(int32_t, const char*, int32_t, InvokeCallback callback) override {
        if (callback) callback(name_.data(), static_cast<int32_t>(name_.size()));
    }

private:
    std::string name_;
    std::vector<std::string> probes_;
};

class ProbeCreator final : public InnerPluginTypeCreator {
public:
    ProbeCreator(std::string reported_name, std::vector<std::string> probes = {}, std::string tag = "")
        : reported_name_(std::move(reported_name)), probes_(std::move(probes)), tag_(std::move(tag)) {}
    ~ProbeCreator() override {
        if (!tag_.empty()) Record("~creator " + tag_);
    }
    IPlugin* Create() override {
        if (reported_name_.empty()) return nullptr;
        if (!tag_.empty()) Record("made by " + tag_);
        return MakeWithLibraryAllocator<ProbePlugin>(reported_name_, probes_);
    }

private:
    std::string reported_name_;
    std::vector<std::string> probes_;
    std::string tag_;
};

void RegisterProbe(const char* type_name, std::string reported_name, std::vector<std::string> probes = {},
                   std::string tag = "") {
    RegisterInnerPluginType(MakeWithLibraryAllocator<ProbeCreator>(std::move(reported_name), std::move(probes),
                                                                   std::move(tag)),
                            type_name);
}

std::vector<LogLine> LinesAt(const std::vector<LogLine>& lines, int level) {
    std::vector<LogLine> out;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(out), [&](const LogLine& l) { return l.level == level; });
    return out;
}

class PluginMgrTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        RegisterProbe("Probe.A", "A");
        RegisterProbe("Probe.B", "B", {"A", "B", "C"});
        RegisterProbe("Probe.C", "C");
        RegisterProbe("Probe.SameFirst", "Same");
        RegisterProbe("Probe.SameSecond", "Same");
        RegisterProbe("Probe.Renamed", "Reported");
        RegisterProbe("Probe.FailsInit", "FailsInit");
        RegisterProbe("Probe.MakesNothing", "");
    }

    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("plugin_mgr_test_" + std::to_string(getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        path_ = (dir_ / "config.json").string();
        Events().clear();
        RecordingLog::Take();
    }
    void TearDown() override {
        DestroyApplicationObject();
        std::filesystem::remove_all(dir_);
    }

    void Start(const std::string& document) {
        std::ofstream(path_, std::ios::binary) << document;
        ASSERT_TRUE(plugin_test::StartWithConfig(path_));
    }
    static IPlugin* Get(const char* name) { return App()->GetPluginMgr()->GetPlugin(name); }

    std::filesystem::path dir_;
    std::string path_;
};

TEST_F(PluginMgrTest, CreatesInFileOrderStartsAndFreesInNameOrder) {
    Start(R"({"plugins":[{"type":1,"name":"Probe.B"},{"type":1,"name":"Probe.A"},{"type":1,"name":"Probe.C"}]})");
    EXPECT_EQ(Events(), (std::vector<std::string>{"create B", "create A", "create C", "init A", "init B",
                                                  "  B sees A=null", "  B sees B=null", "  B sees C=null",
                                                  "init C"}));
    // Published only after every Init.
    for (const char* name : {"A", "B", "C"}) EXPECT_NE(Get(name), nullptr) << name;
    EXPECT_EQ(Get("Probe.A"), nullptr);  // filed under the reported name only
    EXPECT_EQ(Get(nullptr), nullptr);
    EXPECT_EQ(Get("a"), nullptr);

    Events().clear();
    DestroyApplicationObject();
    EXPECT_EQ(Events(), (std::vector<std::string>{"free A", "destroy A", "free B", "destroy B", "free C",
                                                  "destroy C"}));
    auto info = LinesAt(RecordingLog::Take(), 300);
    ASSERT_GE(info.size(), 3u);
    EXPECT_EQ(info[0].text, "PluginMgr::Init");
    EXPECT_EQ(std::count_if(info.begin(), info.end(), [](const LogLine& l) { return l.text == "PluginMgr::Free"; }), 1);
}

TEST_F(PluginMgrTest, PluginFoundUnderTheNameItReportsAndInvoked) {
    Start(R"({"plugins":[{"type":1,"name":"Probe.Renamed"},{"type":1,"name":"Probe.FailsInit"}]})");
    IPlugin* plugin = Get("Reported");
    ASSERT_NE(plugin, nullptr);
    EXPECT_EQ(Get("Probe.Renamed"), nullptr);
    std::string answer;
    plugin->Invoke(5, nullptr, 0, [&](const char* data, int32_t length) { answer.assign(data, length); });
    EXPECT_EQ(answer, "Reported");
    // A plugin whose Init failed stays filed and is freed normally.
    EXPECT_NE(Get("FailsInit"), nullptr);
    Events().clear();
    DestroyApplicationObject();
    EXPECT_NE(std::find(Events().begin(), Events().end(), "free FailsInit"), Events().end());
    EXPECT_TRUE(LinesAt(RecordingLog::Take(), 100).empty());
}

TEST_F(PluginMgrTest, SameNameTwiceKeepsTheLaterAndDestroysTheEarlierAtOnce) {
    Start(R"({"plugins":[{"type":1,"name":"Probe.SameFirst"},{"type":1,"name":"Probe.A"},
                         {"type":1,"name":"Probe.SameSecond"}]})");
    EXPECT_EQ(Events(), (std::vector<std::string>{"create Same", "create A", "create Same", "free Same",
                                                  "destroy Same", "init A", "init Same"}));
    auto lines = RecordingLog::Take();
    auto warnings = LinesAt(lines, 200);
    ASSERT_EQ(warnings.size(), 1u);
    const std::string& text = warnings[0].text;
    for (const char* part : {"plugins[0] \"Probe.SameFirst\"", "plugins[2] \"Probe.SameSecond\"", "\"Same\"",
                             "keeping plugins[2]"})
        EXPECT_NE(text.find(part), std::string::npos) << text;
    EXPECT_NE(text.find(path_), std::string::npos) << text;
    EXPECT_TRUE(LinesAt(lines, 100).empty());

    Events().clear();
    DestroyApplicationObject();
    EXPECT_EQ(Events(), (std::vector<std::string>{"free A", "destroy A", "free Same", "destroy Same"}));
}

TEST_F(PluginMgrTest, EmptyListOrNoListCreatesNothing) {
    for (const char* document : {R"({"plugins":[]})", R"({})"}) {
        Start(document);
        EXPECT_EQ(Get("A"), nullptr);
        EXPECT_TRUE(Events().empty());
        auto lines = RecordingLog::Take();
        EXPECT_TRUE(LinesAt(lines, 100).empty());
        EXPECT_TRUE(LinesAt(lines, 200).empty());
        DestroyApplicationObject();
    }
}

struct FailureCase {
    const char* label;
    const char* document;           // null: no file at all
    std::vector<const char*> parts;  // all in the one error line
    std::vector<std::string> still_created;
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.label; }

const FailureCase kFailureCases[] = {
    {"missing file", nullptr, {"cannot read the file: No such file or directory"}, {}},
    {"invalid JSON", R"({"plugins":[{"type":1,"name":"Probe.A"},]})",
     {"not valid JSON: expected value, got ']' (93)"}, {}},
    {"comment in strict mode", "{\"plugins\":[]} // x", {"not valid JSON: unexpected trailing '/' (47)"}, {}},
    {"top level not an object", R"([1])", {"the top level is not an object"}, {}},
    {"plugins not an array", R"({"plugins":"Probe.A"})", {"\"plugins\" is not an array"}, {}},
    {"entry not an object", R"({"plugins":[{"type":1,"name":"Probe.A"},"Probe.B",{"type":1,"name":"Probe.C"}]})",
     {"plugins[1]", "not an object"}, {"A", "C"}},
    {"entry without a type", R"({"plugins":[{"type":1,"name":"Probe.A"},{"name":"NoType"}]})",
     {"plugins[1] \"NoType\"", "unknown plugin type 0"}, {"A"}},
    {"entry of type 9", R"({"plugins":[{"type":9,"name":"Nine"},{"type":1,"name":"Probe.C"}]})",
     {"plugins[0] \"Nine\"", "unknown plugin type 9"}, {"C"}},
    {"unregistered built-in type", R"({"plugins":[{"type":1,"name":"Probe.Nobody"},{"type":1,"name":"Probe.A"}]})",
     {"plugins[0] \"Probe.Nobody\"", "not created", "no built-in plugin type of that name"}, {"A"}},
    {"creator makes nothing", R"({"plugins":[{"type":1,"name":"Probe.A"},{"type":1,"name":"Probe.MakesNothing"}]})",
     {"plugins[1] \"Probe.MakesNothing\"", "not created", "creator made no object"}, {"A"}},
};

class PluginMgrFailureTest : public PluginMgrTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(PluginMgrFailureTest, LogsOnceWithPathPositionAndReasonAndLoadsTheRest) {
    const FailureCase& c = GetParam();
    if (c.document) {
        Start(c.document);
    } else {
        path_ = (dir_ / "absent.json").string();
        ASSERT_TRUE(plugin_test::StartWithConfig(path_));
    }
    auto lines = RecordingLog::Take();
    auto errors = LinesAt(lines, 100);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].text.rfind("PluginMgr: " + path_ + ": ", 0), 0u) << errors[0].text;
    for (const char* part : c.parts) EXPECT_NE(errors[0].text.find(part), std::string::npos) << errors[0].text;
    EXPECT_TRUE(LinesAt(lines, 200).empty());
    for (const auto& name : c.still_created) EXPECT_NE(Get(name.c_str()), nullptr) << name;
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].text, "PluginMgr::Init");
}

INSTANTIATE_TEST_SUITE_P(Failures, PluginMgrFailureTest, ::testing::ValuesIn(kFailureCases),
                         [](const auto& info) {
                             std::string name;
                             for (const char* p = info.param.label; *p; ++p)
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

TEST(InnerPluginTypeTest, RegisteringTwiceDestroysTheFirstCreatorAndUsesTheSecond) {
    Events().clear();
    RegisterProbe("Probe.Twice", "Twice", {}, "first");
    EXPECT_TRUE(Events().empty());
    RegisterProbe("Probe.Twice", "Twice", {}, "second");
    EXPECT_EQ(Events(), std::vector<std::string>{"~creator first"});

    PluginConfig config;
    config.type = kPluginInner;
    config.name = "Probe.Twice";
    IPluginFactory* factory = FindPluginFactory(kPluginInner);
    ASSERT_NE(factory, nullptr);
    Events().clear();
    IPlugin* plugin = factory->Create(config);
    ASSERT_NE(plugin, nullptr);
    EXPECT_EQ(Events(), (std::vector<std::string>{"made by second", "create Twice"}));
    factory->Destroy(plugin);
    factory->Destroy(nullptr);
    EXPECT_EQ(Events().back(), "destroy Twice");
}

TEST(InnerPluginTypeTest, NullNameOrCreatorChangesNothing) {
    Events().clear();
    auto* creator = MakeWithLibraryAllocator<ProbeCreator>("Kept", std::vector<std::string>{}, "kept");
    EXPECT_EQ(RegisterInnerPluginType(creator, nullptr), 0);
    EXPECT_EQ(RegisterInnerPluginType(nullptr, "Probe.Kept"), 0);
    PluginConfig config;
    config.name = "Probe.Kept";
    EXPECT_EQ(FindPluginFactory(kPluginInner)->Create(config), nullptr);
    // Still the caller's: registering it now works and the same creator again keeps it.
    EXPECT_EQ(RegisterInnerPluginType(creator, "Probe.Kept"), 0);
    EXPECT_EQ(RegisterInnerPluginType(creator, "Probe.Kept"), 0);
    EXPECT_TRUE(Events().empty());
    IPlugin* plugin = FindPluginFactory(kPluginInner)->Create(config);
    ASSERT_NE(plugin, nullptr);
    FindPluginFactory(kPluginInner)->Destroy(plugin);
}

TEST(PluginFactoryRegistryTest, HoldsTheInProcessTypesAndReplacesOnRegistration) {
    EXPECT_NE(FindPluginFactory(kPluginInner), nullptr);
    EXPECT_NE(FindPluginFactory(kPluginDll), nullptr);
    EXPECT_EQ(FindPluginFactory(0), nullptr);

    struct CountingFactory final : IPluginFactory {
        explicit CountingFactory(int* destroyed) : destroyed_(destroyed) {}
        ~CountingFactory() override { ++*destroyed_; }
        IPlugin* Create(const PluginConfig&) override { return nullptr; }
        void Destroy(IPlugin*) override {}
        int* destroyed_;
    };
    int destroyed = 0;
    RegisterPluginFactory(77, MakeWithLibraryAllocator<CountingFactory>(&destroyed));
    IPluginFactory* first = FindPluginFactory(77);
    RegisterPluginFactory(77, MakeWithLibraryAllocator<CountingFactory>(&destroyed));
    EXPECT_EQ(destroyed, 1);
    EXPECT_NE(FindPluginFactory(77), nullptr);
    EXPECT_NE(FindPluginFactory(77), first);
    RegisterPluginFactory(77, nullptr);
    EXPECT_EQ(destroyed, 2);
    EXPECT_EQ(FindPluginFactory(77), nullptr);
}

}  // namespace
}  // namespace Application
