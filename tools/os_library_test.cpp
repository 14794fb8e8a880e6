#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "Tools/os.h"

namespace {

using namespace Tools;

std::string BesideTest(const char* name) {
    char path[4096];
    return os_get_executable_path(path, sizeof(path), name) > 0 ? path : "";
}

TEST(LibraryTest, LoadsWithoutSuffixAndWithBackslashes) {
    std::string path = BesideTest("libtools_os_test_library");
    for (char& c : path)
        if (c == '/') c = '\\';
    void* library = os_dlopen(path.c_str());
    ASSERT_NE(library, nullptr) << os_dlerror();
    auto answer = reinterpret_cast<int (*)()>(os_dlsym(library, "velmora_test_answer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);

    EXPECT_EQ(os_dlsym(library, "velmora_no_such_symbol"), nullptr);
    EXPECT_NE(std::string(os_dlerror()).find("velmora_no_such_symbol"), std::string::npos) << os_dlerror();
    os_dlclose(library);
}

TEST(LibraryTest, FailureKeepsTheLoadersReason) {
    EXPECT_EQ(os_dlopen(BesideTest("libtools_os_no_such_library").c_str()), nullptr);
    EXPECT_NE(std::string(os_dlerror()).find("libtools_os_no_such_library.so"), std::string::npos) << os_dlerror();

    // Immediate binding: a missing symbol fails the load, not a later call.
    EXPECT_EQ(os_dlopen(BesideTest("libtools_os_test_broken_library.so").c_str()), nullptr);
    EXPECT_NE(std::string(os_dlerror()).find("velmora_symbol_that_does_not_exist"), std::string::npos)
        << os_dlerror();

    EXPECT_EQ(os_dlopen(nullptr), nullptr);
    EXPECT_STRNE(os_dlerror(), "");
    EXPECT_EQ(os_dlsym(nullptr, "x"), nullptr);
    os_dlclose(nullptr);
}

TEST(LibraryTest, ReasonIsKeptPerThread) {
    EXPECT_EQ(os_dlopen("/nonexistent/first"), nullptr);
    const std::string mine = os_dlerror();
    std::string theirs;
    std::thread([&] {
        EXPECT_EQ(os_dlopen("/nonexistent/second"), nullptr);
        theirs = os_dlerror();
    }).join();
    EXPECT_EQ(os_dlerror(), mine);
    EXPECT_NE(theirs, mine);
    EXPECT_NE(theirs.find("second"), std::string::npos);
}

}  // namespace
