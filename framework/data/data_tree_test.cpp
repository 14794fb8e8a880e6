#include "framework/data/data_tree.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "framework/data/data_platform.h"
#include "framework/data/data_test_layout.h"
#include "framework/data/shared_block.h"
#include "tools/other_user_test_util.h"

namespace Application {
namespace {

// Every test gets a runtime directory of its own; the shared memory names
// carry this process's pid, and the host removes them when it ends.
class DataTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/velmora-data-tree-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        runtime_ = pattern;
        setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
        // A fallback that cannot be made, so the real /tmp is never used.
        setenv("TMPDIR", (runtime_ + "/no-tmp").c_str(), 1);
        pid_ = static_cast<uint32_t>(getpid());
    }
    void TearDown() override {
        unsetenv("XDG_RUNTIME_DIR");
        unsetenv("TMPDIR");
        std::error_code ignored;
        std::filesystem::permissions(runtime_, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(runtime_);
    }

    // Collects what a tree reports instead of logging it.
    struct Reports {
        std::vector<std::pair<int, std::string>> lines;
        void Attach(CData& tree) {
            tree.SetReporterForTesting([this](int level, const std::string& text) { lines.emplace_back(level, text); });
        }
    };

    // Sets node id (layout {8}) to value; true when the callback ran.
    static bool Set(CData& tree, uint32_t id, int64_t value) {
        bool ran = false;
        tree.Visit([&](IDataVisitor* visitor) {
            ran = true;
            IDataObject* object = visitor->GetObject(id);
            object->SetLayout({8});
            object->SetInt64(0, value);
        });
        return ran;
    }

    static int64_t Get(CData& tree, uint32_t id) {
        int64_t value = -1;
        tree.Visit([&](IDataVisitor* visitor) {
            IDataObject* object = visitor->GetObject(id);
            object->SetLayout({8});
            value = object->GetInt64(0, 0);
        });
        return value;
    }

    // Our block and lock objects still present.
    std::vector<std::string> OwnObjects() const {
        std::vector<std::string> found;
        for (const std::string& name : data_platform::ListRuntimeFiles()) {
            uint32_t pid;
            if ((ParseBlockName(name, &pid) || ParseLockName(name, &pid)) && pid == pid_) found.push_back(name);
        }
        return found;
    }

    // The raw content of a block: length word and payload.
    std::string BlockContent(const std::string& name, size_t size) {
        SharedBlock block(name);
        if (!block.OpenBacking(false) || !block.Open(static_cast<int64_t>(size))) return "";
        return std::string(block.view(), size);
    }

    void WriteBlock(const std::string& name, const std::string& content) {
        SharedBlock block(name);
        ASSERT_TRUE(block.Open(static_cast<int64_t>(content.size())));
        ASSERT_TRUE(block.Write(content.data(), content.size(), 0));
    }

    std::string runtime_;
    uint32_t pid_ = 0;
};

const std::vector<uint32_t> kLayout = {4, 8, 32, 1};

TEST_F(DataTreeTest, NamesCarryTheHostPid) {
    CData data(4312, false);
    EXPECT_EQ(data.LockName(), "data_sem_4312");
    EXPECT_EQ(BlockName("obj", 4312, 10), "dataobj_fm_4312_10");
    EXPECT_EQ(BlockName("arr", 4312, 4294967295u), "dataarr_fm_4312_4294967295");
    uint32_t pid = 0;
    EXPECT_TRUE(ParseBlockName("dataobj_fm_4312_10", &pid));
    EXPECT_EQ(pid, 4312u);
    for (const char* bad : {"dataobj_fm_4312", "dataobj_fm_4312_", "dataobj_fm__10", "dataxyz_fm_1_2",
                            "dataobj_fm_1_2x", "dataobj_fm_99999999999_1"}) {
        EXPECT_FALSE(ParseBlockName(bad, &pid)) << bad;
    }
    EXPECT_TRUE(ParseLockName("data_sem_77", &pid));
    EXPECT_FALSE(ParseLockName("data_sem_77.tmp", &pid));
}

TEST_F(DataTreeTest, FreshNodeKeepsItsZeroRecord) {
    CData host(pid_, true);
    host.Visit([](IDataVisitor* visitor) {
        IDataObject* object = visitor->GetObject(10);
        object->SetLayout(kLayout);
        EXPECT_EQ(object->GetInt(0, -1), -1);
        EXPECT_FALSE(static_cast<CDataObject*>(object)->IsDirty());
    });
    EXPECT_TRUE(host.IsShared());
}

TEST_F(DataTreeTest, PushedRecordIsPulledByAnotherTreeAndHasTheBlockLayout) {
    CData host(pid_, true);
    CData plugin(pid_, false);
    host.Visit([](IDataVisitor* visitor) {
        IDataObject* object = visitor->GetObject(10);
        object->SetLayout(kLayout);
        object->SetInt(0, 77);
        object->SetString(2, "shared");
    });
    const std::string content = BlockContent(BlockName("obj", pid_, 10), 57);
    ASSERT_EQ(content.size(), 57u);
    uint32_t length;
    std::memcpy(&length, content.data(), 4);
    EXPECT_EQ(length, 53u);
    EXPECT_EQ(content.substr(4 + 20, 6), "shared");

    plugin.Visit([](IDataVisitor* visitor) {
        IDataObject* object = visitor->GetObject(10);
        object->SetLayout(kLayout);
        EXPECT_EQ(object->GetInt(0, 0), 77);
        EXPECT_STREQ(object->GetString(2, ""), "shared");
        object->SetInt(0, 78);
    });
    host.Visit([](IDataVisitor* visitor) {
        IDataObject* object = visitor->GetObject(10);
        object->SetLayout(kLayout);  // clean: refreshed from the block
        EXPECT_EQ(object->GetInt(0, 0), 78);
    });
}

TEST_F(DataTreeTest, ArrayPushWritesItsArrayForm) {
    CData host(pid_, true);
    CData plugin(pid_, false);
    host.Visit([](IDataVisitor* visitor) {
        IDataArray* array = visitor->GetArray(5);
        array->SetLayout({4});
        for (int i = 0; i < 3; ++i) array->Append()->SetInt(0, i * 10);
    });
    const std::string content = BlockContent(BlockName("arr", pid_, 5), 44);
    uint32_t length, count;
    std::memcpy(&length, content.data(), 4);
    std::memcpy(&count, content.data() + 4, 4);
    EXPECT_EQ(length, 40u);
    EXPECT_EQ(count, 3u);
    plugin.Visit([](IDataVisitor* visitor) {
        IDataArray* array = visitor->GetArray(5);
        array->SetLayout({4});
        ASSERT_EQ(array->Size(), 3u);
        EXPECT_EQ(array->Get(2)->GetInt(0, 0), 20);
        array->Get(1)->SetInt(0, 11);  // an element change publishes the array
    });
    host.Visit([](IDataVisitor* visitor) {
        IDataArray* array = visitor->GetArray(5);
        array->SetLayout({4});
        EXPECT_EQ(array->Get(1)->GetInt(0, 0), 11);
    });
}

// Every kind of change, made in a visit after the one that laid the nodes
// out (so the nodes start clean), is published: a visit that finds no
// dirty node skips the walk over the tree, and each of these must tell it.
struct LaterChangeCase {
    const char* name;
    void (*change)(IDataObject* object, IDataArray* array, const std::string& dir);
    void (*check)(IDataObject* object, IDataArray* array);
};

void PrintTo(const LaterChangeCase& c, std::ostream* out) { *out << c.name; }

class LaterChangeTest : public DataTreeTest, public ::testing::WithParamInterface<LaterChangeCase> {};

TEST_P(LaterChangeTest, IsPublished) {
    const LaterChangeCase& c = GetParam();
    CData host(pid_, true);
    CData plugin(pid_, false);
    auto lay_out = [](IDataVisitor* visitor) {
        visitor->GetObject(1)->SetLayout({4});
        visitor->GetArray(2)->SetLayout({4});
    };
    host.Visit([&](IDataVisitor* visitor) {
        lay_out(visitor);
        visitor->GetObject(1)->SetInt(0, 1);
        for (int i = 0; i < 3; ++i) visitor->GetArray(2)->Append()->SetInt(0, i + 1);
    });
    // The other tree writes the array, the host pulls it: its elements are
    // now ones that a load made.
    plugin.Visit([&](IDataVisitor* visitor) {
        lay_out(visitor);
        visitor->GetArray(2)->Get(2)->SetInt(0, 3);
    });
    host.Visit(lay_out);
    // Files for the loads, written from nodes of the same layouts.
    CDataObject object_file(1);
    object_file.SetLayout({4});
    object_file.SetInt(0, 42);
    ASSERT_TRUE(object_file.SaveToFile((runtime_ + "/object").c_str()));
    CDataArray array_file(2);
    array_file.SetLayout({4});
    array_file.Append()->SetInt(0, 42);
    array_file.SaveToFile((runtime_ + "/array").c_str());

    host.Visit([&](IDataVisitor* visitor) { c.change(visitor->GetObject(1), visitor->GetArray(2), runtime_); });
    plugin.Visit([&](IDataVisitor* visitor) {
        lay_out(visitor);
        c.check(visitor->GetObject(1), visitor->GetArray(2));
    });
}

INSTANTIATE_TEST_SUITE_P(
    Changes, LaterChangeTest,
    ::testing::Values(
        LaterChangeCase{"ObjectSetter", [](IDataObject* o, IDataArray*, const std::string&) { o->SetInt(0, 42); },
                        [](IDataObject* o, IDataArray*) { EXPECT_EQ(o->GetInt(0, 0), 42); }},
        LaterChangeCase{"ObjectUnsetAll", [](IDataObject* o, IDataArray*, const std::string&) { o->UnsetAll(); },
                        [](IDataObject* o, IDataArray*) { EXPECT_EQ(o->GetInt(0, -1), -1); }},
        LaterChangeCase{"ObjectLoadFromFile",
                        [](IDataObject* o, IDataArray*, const std::string& dir) {
                            o->LoadFromFile((dir + "/object").c_str());
                        },
                        [](IDataObject* o, IDataArray*) { EXPECT_EQ(o->GetInt(0, 0), 42); }},
        LaterChangeCase{"LoadedElementSetter",
                        [](IDataObject*, IDataArray* a, const std::string&) { a->Get(1)->SetInt(0, 42); },
                        [](IDataObject*, IDataArray* a) {
                            ASSERT_EQ(a->Size(), 3u);
                            EXPECT_EQ(a->Get(1)->GetInt(0, 0), 42);
                        }},
        LaterChangeCase{"LoadedElementUnset", [](IDataObject*, IDataArray* a, const std::string&) { a->Get(0)->Unset(0); },
                        [](IDataObject*, IDataArray* a) {
                            ASSERT_EQ(a->Size(), 3u);
                            EXPECT_EQ(a->Get(0)->GetInt(0, -1), -1);
                        }},
        LaterChangeCase{"ElementAppendedThenSet",
                        [](IDataObject*, IDataArray* a, const std::string&) {
                            a->Append();
                            // Cleared by a load of its own, yet the array stays changed.
                            const char zero[12] = {};
                            a->Get(3)->LoadRecord(zero);
                            a->Get(3)->SetInt(0, 4);
                        },
                        [](IDataObject*, IDataArray* a) {
                            ASSERT_EQ(a->Size(), 4u);
                            EXPECT_EQ(a->Get(3)->GetInt(0, 0), 4);
                        }},
        LaterChangeCase{"ArrayRemoveAt", [](IDataObject*, IDataArray* a, const std::string&) { a->RemoveAt(0); },
                        [](IDataObject*, IDataArray* a) {
                            ASSERT_EQ(a->Size(), 2u);
                            EXPECT_EQ(a->Get(0)->GetInt(0, 0), 2);
                        }},
        LaterChangeCase{"ArrayLoadFromFile",
                        [](IDataObject*, IDataArray* a, const std::string& dir) {
                            a->LoadFromFile((dir + "/array").c_str());
                        },
                        [](IDataObject*, IDataArray* a) {
                            ASSERT_EQ(a->Size(), 1u);
                            EXPECT_EQ(a->Get(0)->GetInt(0, 0), 42);
                        }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DataTreeTest, OtherKindReplacesTheNode) {
    CData host(pid_, true);
    host.Visit([](IDataVisitor* visitor) {
        IDataObject* object = visitor->GetObject(7);
        object->SetLayout({4});
        object->SetInt(0, 1);
        IDataArray* array = visitor->GetArray(7);
        EXPECT_EQ(array->Size(), 0u);
        EXPECT_NE(array->KindId(), object == nullptr ? 0u : kObjectKindId);
        EXPECT_EQ(visitor->GetArray(7), array);
        visitor->Remove(7);
        visitor->Remove(8);
        visitor->Clear();
    });
}

// A stored length that does not match the node, or runs past the block,
// loads nothing.
struct BadBlockCase {
    const char* name;
    uint32_t stored_length;
    size_t block_size;
};

class BadBlockTest : public DataTreeTest, public ::testing::WithParamInterface<BadBlockCase> {};

TEST_P(BadBlockTest, PullLoadsNothing) {
    const BadBlockCase& c = GetParam();
    CData host(pid_, true);
    std::string content(c.block_size, '\x7f');
    std::memcpy(content.data(), &c.stored_length, 4);
    WriteBlock(BlockName("obj", pid_, 3), content);
    WriteBlock(BlockName("arr", pid_, 4), content);
    host.Visit([](IDataVisitor* visitor) {
        IDataObject* object = visitor->GetObject(3);
        object->SetLayout({4, 4});
        EXPECT_EQ(object->GetInt(0, -1), -1);
        IDataArray* array = visitor->GetArray(4);
        array->SetLayout({4});
        EXPECT_EQ(array->Size(), 0u);
    });
}

INSTANTIATE_TEST_SUITE_P(Blocks, BadBlockTest,
                         ::testing::Values(BadBlockCase{"ShorterThanRecord", 15, 64},
                                           BadBlockCase{"LongerThanRecord", 17, 64},
                                           BadBlockCase{"PastTheBlock", 16, 12},
                                           BadBlockCase{"HugeLength", 0xfffffff0u, 64},
                                           BadBlockCase{"ShortBlock", 16, 3}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DataTreeTest, NestedVisitRunsInsideTheOuterOne) {
    CData host(pid_, true);
    int inner_runs = 0;
    host.Visit([&](IDataVisitor* visitor) {
        visitor->GetObject(1)->SetLayout({4});
        host.Visit([&](IDataVisitor* inner) {
            ++inner_runs;
            EXPECT_EQ(inner, visitor);
            inner->GetObject(1)->SetInt(0, 5);
        });
    });
    EXPECT_EQ(inner_runs, 1);
    CData plugin(pid_, false);
    plugin.Visit([](IDataVisitor* visitor) {
        IDataObject* object = visitor->GetObject(1);
        object->SetLayout({4});
        EXPECT_EQ(object->GetInt(0, 0), 5) << "the outer visit published the inner change";
    });
}

TEST_F(DataTreeTest, ThrowingCallbackReleasesTheLockAndPublishes) {
    CData host(pid_, true);
    host.Visit([](IDataVisitor* visitor) {
        IDataObject* object = visitor->GetObject(1);
        object->SetLayout({4});
        object->SetInt(0, 9);
        throw std::runtime_error("callback failure");
    });
    data_platform::NamedFile lock = data_platform::NamedFile::OpenRuntimeFile(host.LockName());
    ASSERT_TRUE(lock.valid());
    EXPECT_TRUE(lock.TryLockExclusive()) << "the kernel lock was released";
    lock.Unlock();
    bool ran = false;
    std::thread other([&] { host.Visit([&](IDataVisitor*) { ran = true; }); });
    other.join();
    EXPECT_TRUE(ran) << "the process lock was released";
    CData plugin(pid_, false);
    plugin.Visit([](IDataVisitor* visitor) {
        IDataObject* object = visitor->GetObject(1);
        object->SetLayout({4});
        EXPECT_EQ(object->GetInt(0, 0), 9);
    });
}

TEST_F(DataTreeTest, LockIsHeldForTheWholeVisitAndExcludesOtherTrees) {
    CData host(pid_, true);
    host.Visit([&](IDataVisitor*) {
        data_platform::NamedFile lock = data_platform::NamedFile::OpenRuntimeFile(host.LockName());
        EXPECT_FALSE(lock.TryLockExclusive());
    });
}

TEST_F(DataTreeTest, ThreadsOfOneProcessIncrementExactly) {
    CData host(pid_, true);
    constexpr int kThreads = 4, kIterations = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kIterations; ++i) {
                host.Visit([](IDataVisitor* visitor) {
                    IDataObject* object = visitor->GetObject(1);
                    object->SetLayout({8});
                    object->SetInt64(0, object->GetInt64(0, 0) + 1);
                });
            }
        });
    }
    for (auto& thread : threads) thread.join();
    host.Visit([](IDataVisitor* visitor) {
        IDataObject* object = visitor->GetObject(1);
        object->SetLayout({8});
        EXPECT_EQ(object->GetInt64(0, 0), kThreads * kIterations);
    });
}

TEST_F(DataTreeTest, UnfinishedPublicationIsUndoneWholeByTheNextHolder) {
    CData host(pid_, true);
    host.Visit([](IDataVisitor* visitor) {
        for (uint32_t id : {2u, 3u}) {
            IDataObject* object = visitor->GetObject(id);
            object->SetLayout({4, 4});
            object->SetInt(0, 1);
            object->SetInt(1, 1);
        }
    });
    const std::string first = BlockName("obj", pid_, 2), second = BlockName("obj", pid_, 3);
    const std::string complete = BlockContent(first, 20);
    ASSERT_EQ(BlockContent(second, 20), complete);
    {
        // What a holder killed in the middle of a publication leaves: the
        // journal raised, the first block rewritten, the second half done.
        data_platform::NamedFile lock = data_platform::NamedFile::OpenRuntimeFile(host.LockName());
        ASSERT_TRUE(lock.LockExclusive());
        TreeJournal journal(&lock);
        ASSERT_TRUE(journal.RecoverAfterLock());
        ASSERT_TRUE(journal.Begin({{&first, complete.data(), complete.size()},
                                   {&second, complete.data(), complete.size()}}));
        std::string changed = complete, torn = complete;
        changed[12] = 2;
        changed[16] = 2;
        torn[12] = 2;
        WriteBlock(first, changed);
        WriteBlock(second, torn);
        EXPECT_TRUE(journal.PendingForTesting());
        lock.Unlock();
    }
    CData plugin(pid_, false);
    plugin.Visit([](IDataVisitor* visitor) {
        for (uint32_t id : {2u, 3u}) {
            IDataObject* object = visitor->GetObject(id);
            object->SetLayout({4, 4});
            EXPECT_EQ(object->GetInt(0, 0), 1) << "node " << id;
            EXPECT_EQ(object->GetInt(1, 0), 1) << "node " << id;
        }
    });
    EXPECT_EQ(BlockContent(first, 20), complete);
    EXPECT_EQ(BlockContent(second, 20), complete);
}

TEST_F(DataTreeTest, ObjectsArePrivateAndRemovedWhenTheHostEnds) {
    {
        CData host(pid_, true);
        host.Visit([](IDataVisitor* visitor) {
            visitor->GetObject(1)->SetLayout({4});
            visitor->GetObject(1)->SetInt(0, 1);
            visitor->GetArray(2)->SetLayout({4});
            visitor->GetArray(2)->Append();
        });
        struct stat st {};
        ASSERT_EQ(stat((runtime_ + "/velmora").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        ASSERT_EQ(stat((runtime_ + "/velmora/" + host.LockName()).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        ASSERT_EQ(stat((runtime_ + "/velmora/" + BlockName("obj", pid_, 1)).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(OwnObjects().size(), 3u);
        CData plugin(pid_, false);
        plugin.Visit([](IDataVisitor*) {});
    }
    EXPECT_TRUE(OwnObjects().empty());
}

TEST_F(DataTreeTest, HostStartRemovesWhatDeadHostsLeft) {
    // A pid that is certainly not running: a child that has been reaped.
    pid_t child = fork();
    if (child == 0) _exit(0);
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    const uint32_t dead = static_cast<uint32_t>(child);
    {
        CData orphan(dead, false);
        orphan.Visit([](IDataVisitor* visitor) {
            visitor->GetObject(1)->SetLayout({4});
            visitor->GetObject(1)->SetInt(0, 1);
        });
    }
    ASSERT_EQ(data_test::ObjectsOf(dead), 2);
    CData host(pid_, true);
    EXPECT_EQ(data_test::ObjectsOf(dead), 0);
}

// Ways in which the place of the lock stops being usable, and how it is
// made usable again.
struct UnusablePlaceCase {
    const char* name;
    bool used_before;  // a visit worked before the place was spoilt
    std::function<void(const std::string& place)> spoil;
    std::function<void(const std::string& place)> mend;
    const char* reason;
};

void ReplaceByFile(const std::string& place) {
    std::filesystem::remove_all(place);
    std::ofstream(place) << "not a directory";
}

void RemovePlace(const std::string& place) { std::filesystem::remove_all(place); }

class UnusableLockPlaceTest : public DataTreeTest, public ::testing::WithParamInterface<UnusablePlaceCase> {};

TEST_P(UnusableLockPlaceTest, VisitRunsNothingReportsOnceAndWorksAgainWhenMended) {
    const UnusablePlaceCase& c = GetParam();
    const std::string place = runtime_ + "/velmora";
    CData host(pid_, true);
    CData reader(pid_, false);
    Reports reports;
    reports.Attach(host);
    if (c.used_before) {
        ASSERT_TRUE(Set(host, 1, 10));
        ASSERT_EQ(Get(reader, 1), 10);
    }
    c.spoil(place);

    EXPECT_FALSE(Set(host, 1, 11)) << "no visit without the lock";
    EXPECT_FALSE(Set(host, 1, 12));
    EXPECT_FALSE(host.IsShared());
    ASSERT_EQ(reports.lines.size(), 1u) << "reported once, not at every visit";
    EXPECT_EQ(reports.lines[0].first, 100);
    EXPECT_NE(reports.lines[0].second.find("visit not run"), std::string::npos) << reports.lines[0].second;
    EXPECT_NE(reports.lines[0].second.find(c.reason), std::string::npos) << reports.lines[0].second;

    c.mend(place);
    EXPECT_TRUE(Set(host, 1, 13));
    EXPECT_EQ(Get(reader, 1), 13) << "the next visit works and is shared";
    ASSERT_EQ(reports.lines.size(), 2u);
    EXPECT_EQ(reports.lines[1].first, 300);
    EXPECT_TRUE(host.IsShared());
}

INSTANTIATE_TEST_SUITE_P(
    Places, UnusableLockPlaceTest,
    ::testing::Values(
        UnusablePlaceCase{"PlaceIsAFile", false, ReplaceByFile, RemovePlace, "is not a directory"},
        UnusablePlaceCase{"PlaceOpenToOthers", false,
                          [](const std::string& place) {
                              std::filesystem::create_directory(place);
                              chmod(place.c_str(), 0755);
                          },
                          [](const std::string& place) { chmod(place.c_str(), 0700); }, "open to other users"},
        UnusablePlaceCase{"PlaceReplacedAfterUse", true, ReplaceByFile, RemovePlace, "is not a directory"},
        UnusablePlaceCase{"LockFileTakenOver", true,
                          [](const std::string& place) {
                              // Some other file of ours now sits at the lock's name.
                              const std::string lock = place + "/data_sem_" + std::to_string(getpid());
                              std::filesystem::remove(lock);
                              const int fd = open(lock.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
                              if (fd >= 0) close(fd);
                          },
                          [](const std::string& place) {
                              std::filesystem::remove(place + "/data_sem_" + std::to_string(getpid()));
                          },
                          "not a private file"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DataTreeTest, PublicationThatCannotWriteEveryBlockWritesNoneAndForgetsTheChanges) {
    CData host(pid_, true);
    for (uint32_t id : {1u, 2u, 3u}) ASSERT_TRUE(Set(host, id, 1));
    // The block of node 2 is no longer one only we can reach.
    ASSERT_EQ(chmod((runtime_ + "/velmora/" + BlockName("obj", pid_, 2)).c_str(), 0644), 0);

    CData plugin(pid_, false);
    Reports reports;
    reports.Attach(plugin);
    EXPECT_TRUE(plugin.IsShared());
    plugin.Visit([](IDataVisitor* visitor) {
        for (uint32_t id : {1u, 2u, 3u}) {
            IDataObject* object = visitor->GetObject(id);
            object->SetLayout({8});
            object->SetInt64(0, 2);
        }
    });
    ASSERT_EQ(reports.lines.size(), 1u);
    EXPECT_EQ(reports.lines[0].first, 100);
    EXPECT_NE(reports.lines[0].second.find("discarded"), std::string::npos) << reports.lines[0].second;
    for (uint32_t id : {1u, 3u}) EXPECT_EQ(Get(host, id), 1) << "node " << id << ": all blocks or none";

    ASSERT_EQ(chmod((runtime_ + "/velmora/" + BlockName("obj", pid_, 2)).c_str(), 0600), 0);
    ASSERT_TRUE(Set(host, 3, 5));
    // The plugin's discarded changes are not pushed later over the host's.
    plugin.Visit([](IDataVisitor* visitor) { visitor->GetObject(1)->SetLayout({8}); });
    EXPECT_EQ(Get(host, 3), 5);
    EXPECT_EQ(Get(plugin, 2), 1);
    EXPECT_EQ(Get(plugin, 3), 5);
}

// How many descriptors and mappings of this process lead to our blocks.
struct OpenBlockCount {
    size_t descriptors = 0;
    size_t mappings = 0;
};

OpenBlockCount CountOpenBlocks(uint32_t pid) {
    const std::string marker = "_fm_" + std::to_string(pid) + "_";
    OpenBlockCount count;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ignored;
        const std::string target = std::filesystem::read_symlink(entry.path(), ignored).string();
        if (target.find(marker) != std::string::npos) ++count.descriptors;
    }
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find(marker) != std::string::npos) ++count.mappings;
    }
    return count;
}

TEST_F(DataTreeTest, BlocksKeptOpenStayBoundedAndClosedOnesAreReadAfresh) {
    constexpr uint32_t kNodes = 3 * kMaxOpenBlocks;
    CData host(pid_, true);
    Reports reports;
    reports.Attach(host);
    // One publication of more blocks than are kept open: all of them are
    // mapped at once while it writes, and closed down to the bound after.
    host.Visit([](IDataVisitor* visitor) {
        for (uint32_t id = 1; id <= kNodes; ++id) {
            IDataObject* object = visitor->GetObject(id);
            object->SetLayout({8});
            object->SetInt64(0, id);
        }
    });
    OpenBlockCount open = CountOpenBlocks(pid_);
    EXPECT_EQ(open.descriptors, kMaxOpenBlocks);
    EXPECT_EQ(open.mappings, kMaxOpenBlocks);
    {
        CData plugin(pid_, false);
        for (uint32_t id = 1; id <= kNodes; ++id) EXPECT_EQ(Get(plugin, id), id) << "node " << id;
        plugin.Visit([](IDataVisitor* visitor) {
            for (uint32_t id = 1; id <= kNodes; ++id) visitor->GetObject(id)->SetInt64(0, id + 1000);
        });
    }
    // Those the host closed and those it kept open alike show the change.
    for (uint32_t id = 1; id <= kNodes; ++id) EXPECT_EQ(Get(host, id), id + 1000) << "node " << id;
    open = CountOpenBlocks(pid_);
    EXPECT_LE(open.descriptors, kMaxOpenBlocks);
    EXPECT_LE(open.mappings, kMaxOpenBlocks);
    size_t notices = 0;
    for (const auto& [level, text] : reports.lines) {
        EXPECT_EQ(level, 300) << text;
        if (text.find("more than " + std::to_string(kMaxOpenBlocks) + " blocks") != std::string::npos) ++notices;
    }
    EXPECT_EQ(notices, 1u) << "the bound is reported once";
}

// Another user on the machine tries to get at the tree by creating its names
// first: in /dev/shm, where blocks of shared memory would be, and in the
// fallback runtime directory.
class OtherUserTest : public DataTreeTest {
protected:
    void SetUp() override {
        if (!Tools::testing::CanActAsOtherUser()) GTEST_SKIP() << "acting as another user needs root";
        DataTreeTest::SetUp();
    }

    static int64_t SizeOf(const std::string& path) {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
    }
};

TEST_F(OtherUserTest, NamesPlantedInSharedMemoryChangeNothing) {
    const std::string prefix = "/dev/shm/velmora-" + std::to_string(geteuid()) + "-";
    const std::vector<std::string> planted = {prefix + BlockName("obj", pid_, 1), prefix + BlockName("arr", pid_, 2),
                                              prefix + "data_sem_" + std::to_string(pid_)};
    ASSERT_TRUE(Tools::testing::RunAsOtherUser([&] {
        for (const std::string& path : planted) {
            const int fd = open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
            if (fd < 0) return false;
            close(fd);
        }
        return true;
    }));
    {
        CData host(pid_, true);
        CData plugin(pid_, false);
        ASSERT_TRUE(Set(host, 1, 42));
        host.Visit([](IDataVisitor* visitor) {
            IDataArray* array = visitor->GetArray(2);
            array->SetLayout({4});
            array->Append()->SetInt(0, 7);
        });
        EXPECT_EQ(Get(plugin, 1), 42);
        plugin.Visit([](IDataVisitor* visitor) {
            IDataArray* array = visitor->GetArray(2);
            array->SetLayout({4});
            ASSERT_EQ(array->Size(), 1u);
            EXPECT_EQ(array->Get(0)->GetInt(0, 0), 7);
        });
    }
    for (const std::string& path : planted) {
        EXPECT_EQ(SizeOf(path), 0) << path << " was used";
        unlink(path.c_str());
    }
}

TEST_F(OtherUserTest, FallbackTakenByAnotherUserIsRefusedAndLeftUntouched) {
    unsetenv("XDG_RUNTIME_DIR");
    const std::string tmp = runtime_ + "/tmp";
    std::filesystem::create_directory(tmp);
    chmod(tmp.c_str(), 01777);
    chmod(runtime_.c_str(), 0711);
    setenv("TMPDIR", tmp.c_str(), 1);
    const std::string fallback = tmp + "/velmora-" + std::to_string(geteuid());
    const std::string lock = fallback + "/data_sem_" + std::to_string(pid_);
    const std::string block = fallback + "/" + BlockName("obj", pid_, 1);
    ASSERT_TRUE(Tools::testing::RunAsOtherUser([&] {
        if (mkdir(fallback.c_str(), 0777) != 0 || chmod(fallback.c_str(), 0777) != 0) return false;
        for (const std::string& path : {lock, block}) {
            const int fd = open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
            if (fd < 0) return false;
            close(fd);
        }
        return true;
    }));

    CData host(pid_, true);
    Reports reports;
    reports.Attach(host);
    EXPECT_FALSE(Set(host, 1, 42)) << "no visit in a place another user controls";
    ASSERT_EQ(reports.lines.size(), 1u);
    EXPECT_NE(reports.lines[0].second.find(fallback + " belongs to another user"), std::string::npos)
        << reports.lines[0].second;
    EXPECT_EQ(SizeOf(lock), 0);
    EXPECT_EQ(SizeOf(block), 0);
}

TEST_F(DataTreeTest, DefaultConstructionTakesTheHostPidFromTheCommandLine) {
    CData data;
    EXPECT_EQ(data.HostPid(), pid_) << "no -pid= switch in this test";
    EXPECT_TRUE(data.IsHost());
}

}  // namespace
}  // namespace Application
