// The skin component inside the real host application object: package
// table, index rules, the announcements and the mirrored state.

#include "framework/ui/ui_skin_impl.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "Application/Application.h"

namespace Application {
namespace {

struct Announcement {
    int id;
    std::string payload;
    bool on_main;
};

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string Count(uint32_t n) {
    std::string out;
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
    return out;
}

std::string Text(const std::string& bytes) { return Count(static_cast<uint32_t>(bytes.size())) + bytes; }

class SkinAppTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/velmora-skin-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        data_home_ = pattern;
        setenv("XDG_DATA_HOME", data_home_.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", data_home_.c_str(), 1);
        char program[] = "ui_skin_test";
        char* argv[] = {program, nullptr};
        ASSERT_TRUE(MakeNomalApplication(1, argv, [](InterfaceBase*) { return true; }, [](bool) {}));
        skin_ = App()->GetUISkin();
        for (int id : {kAppSkinChanged, kAppSkinChangedAfter}) {
            App()->GetNotifier()->Subscribe(App()->GetName(), id, [this, id](unsigned, const char* data, int length) {
                announcements_.push_back(
                    {id, std::string(data, static_cast<size_t>(length)), App()->GetThreadTaskMgr()->IsMainThread()});
            });
        }
    }
    void TearDown() override {
        DestroyApplication();
        std::error_code ignored;
        std::filesystem::remove_all(data_home_, ignored);
    }

    // Runs f on a thread of its own and waits for it.
    static void OnOtherThread(const std::function<void()>& f) { std::thread(f).join(); }

    std::string Change(int from, int to) { return Text(skin_->GetSkinPath(from)) + Text(skin_->GetSkinPath(to)); }

    void ExpectAnnounced(const std::vector<std::string>& payloads) {
        ASSERT_EQ(announcements_.size(), 2 * payloads.size());
        for (size_t i = 0; i < payloads.size(); ++i) {
            for (size_t k = 0; k < 2; ++k) {
                const Announcement& a = announcements_[2 * i + k];
                EXPECT_EQ(a.id, k == 0 ? kAppSkinChanged : kAppSkinChangedAfter) << "change " << i;
                EXPECT_EQ(a.payload, payloads[i]) << "change " << i;
                EXPECT_TRUE(a.on_main) << "change " << i;
            }
        }
    }

    std::string data_home_;
    IUISkin* skin_ = nullptr;
    std::vector<Announcement> announcements_;  // written on the main thread only
};

TEST_F(SkinAppTest, PackagesLiveBesideTheApplication) {
    const std::string prefix = std::string(App()->GetAppPath()->GetAppDir()) + "/SkinResource/";
    EXPECT_EQ(skin_->GetSkinIndex(), 0);
    EXPECT_EQ(skin_->GetSkinPath(0), prefix + "LightMode.rcc");
    EXPECT_EQ(skin_->GetSkinPath(1), prefix + "DarkMode.rcc");
    EXPECT_TRUE(EndsWith(skin_->GetSkinPath(1), "DarkMode.rcc"));
    EXPECT_EQ(skin_->GetBaseSkinPath(), prefix + "Kestrun.rcc");
    for (int outside : {-1, 2, 1000}) EXPECT_STREQ(skin_->GetSkinPath(outside), "") << outside;
}

TEST_F(SkinAppTest, ChangeOnMainThreadAnnouncesAtOnceAndOnlyOnce) {
    skin_->SetSkinIndex(1);
    ExpectAnnounced({Change(0, 1)});
    skin_->SetSkinIndex(1);
    ProcessMainThreadTask();
    ExpectAnnounced({Change(0, 1)});
    EXPECT_EQ(skin_->GetSkinIndex(), 1);
}

TEST_F(SkinAppTest, ChangeOnOtherThreadIsAnnouncedOnTheMainThread) {
    OnOtherThread([this] {
        skin_->SetSkinIndex(1);
        EXPECT_EQ(skin_->GetSkinIndex(), 1) << "the index changes on the caller's thread";
        skin_->SetSkinIndex(1);
    });
    EXPECT_TRUE(announcements_.empty()) << "nothing may be announced off the main thread";
    ProcessMainThreadTask();
    ExpectAnnounced({Change(0, 1)});
}

TEST_F(SkinAppTest, IndexOutsideTheTableIsKeptAndAnnouncedWithEmptyPath) {
    skin_->SetSkinIndex(5);
    EXPECT_EQ(skin_->GetSkinIndex(), 5);
    ExpectAnnounced({Text(skin_->GetSkinPath(0)) + Text("")});
}

// A worker's change still waits in the main queue when the main thread
// changes again: the announcements must come in the order of the changes, or
// a listener that swaps packages would end on the wrong one.
TEST_F(SkinAppTest, AnnouncementsKeepTheOrderOfChangesAcrossThreads) {
    OnOtherThread([this] { skin_->SetSkinIndex(1); });
    skin_->SetSkinIndex(0);
    EXPECT_TRUE(announcements_.empty());
    ProcessMainThreadTask();
    ExpectAnnounced({Change(0, 1), Change(1, 0)});
}

// A listener that changes the skin again while the first change is being
// announced: its change is announced after the first one completed.
TEST_F(SkinAppTest, ChangeFromAListenerIsAnnouncedAfterTheCurrentOne) {
    App()->GetNotifier()->Subscribe(App()->GetName(), kAppSkinChanged, [this](unsigned, const char*, int) {
        if (skin_->GetSkinIndex() == 1) skin_->SetSkinIndex(0);
    });
    skin_->SetSkinIndex(1);
    ProcessMainThreadTask();
    ExpectAnnounced({Change(0, 1), Change(1, 0)});
    EXPECT_EQ(skin_->GetSkinIndex(), 0);
}

TEST_F(SkinAppTest, ManyThreadsChangingEndOnTheLastAnnouncedPackage) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 200; ++i) skin_->SetSkinIndex((i + t) % 2);
        });
    }
    for (std::thread& thread : threads) thread.join();
    ProcessMainThreadTask();
    ASSERT_FALSE(announcements_.empty());
    // Consecutive announcements chain: each starts from where the previous ended.
    std::string shown = Text(skin_->GetSkinPath(0));
    for (size_t i = 0; i < announcements_.size(); i += 2) {
        const std::string& payload = announcements_[i].payload;
        ASSERT_EQ(payload.compare(0, shown.size(), shown), 0) << "change " << i / 2 << " does not start from the shown skin";
        shown = payload.substr(shown.size());
    }
    EXPECT_EQ(shown, Text(skin_->GetSkinPath(skin_->GetSkinIndex())));
}

TEST(SkinStateTest, SavedStateRestoresThePackageList) {
    UISkinImpl host;
    host.LoadState(Count(2) + Text("/a/Light.rcc") + Text("/a/Dark.rcc"));
    EXPECT_STREQ(host.GetSkinPath(1), "/a/Dark.rcc");
    UISkinImpl plugin;
    plugin.LoadState(host.SaveState());
    EXPECT_STREQ(plugin.GetSkinPath(0), "/a/Light.rcc");
    EXPECT_STREQ(plugin.GetSkinPath(1), "/a/Dark.rcc");
    EXPECT_EQ(plugin.GetSkinIndex(), -1) << "the index is not part of the state";
}

struct StateCase {
    const char* name;
    std::string state;
    std::vector<std::string> paths;
};

class SkinLoadStateTest : public ::testing::TestWithParam<StateCase> {};

TEST_P(SkinLoadStateTest, KeepsTheCompleteEntries) {
    UISkinImpl skin;
    skin.LoadState(Count(1) + Text("/old.rcc"));
    skin.LoadState(GetParam().state);
    for (size_t i = 0; i < GetParam().paths.size(); ++i) EXPECT_EQ(skin.GetSkinPath(static_cast<int>(i)), GetParam().paths[i]);
    EXPECT_STREQ(skin.GetSkinPath(static_cast<int>(GetParam().paths.size())), "");
}

INSTANTIATE_TEST_SUITE_P(
    States, SkinLoadStateTest,
    ::testing::Values(StateCase{"Empty", "", {}}, StateCase{"ShortCount", std::string("\x01\x00", 2), {}},
                      StateCase{"CountSaysThreeHoldsTwo", Count(3) + Text("a") + Text("b"), {"a", "b"}},
                      StateCase{"TruncatedPath", Count(2) + Text("a") + Count(9) + "xy", {"a"}},
                      StateCase{"TruncatedLength", Count(2) + Text("a") + "\x01", {"a"}},
                      StateCase{"HugeLength", Count(1) + Count(0xFFFFFFFFu) + "abc", {}},
                      StateCase{"ZeroCount", Count(0), {}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace Application
