// The operating-system seam itself, on the real file system of whichever
// system runs the tests (Linux natively, Windows under Wine).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "persistence_test_support.h"
#include "platform/platform.h"
#include "platform/threads.h"

#ifndef _WIN32
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <cstdlib>
#endif

namespace qx {
namespace {

using test::TempDir;

Platform& os() { return systemPlatform(); }

TEST(PlatformFiles, AtomicWriteReplacesTheFileAndLeavesNoTemporary) {
    TempDir dir;
    const std::string path = dir.file("QX_Preset01.ini");
    ASSERT_TRUE(os().writeFileAtomic(path.c_str(), "first", 5));
    EXPECT_EQ(test::readBytes(path), "first");
    const std::string second(13000, 'x');
    ASSERT_TRUE(os().writeFileAtomic(path.c_str(), second.data(), second.size()));
    EXPECT_EQ(test::readBytes(path), second);
    ASSERT_TRUE(os().writeFileAtomic(path.c_str(), "", 0));
    EXPECT_EQ(test::readBytes(path), "");
    EXPECT_EQ(test::directoryNames(dir.path()), std::vector<std::string>{"QX_Preset01.ini"});
}

TEST(PlatformFiles, AtomicWriteFailsCleanlyWhereItCannotWrite) {
    TempDir dir;
    // No such directory: nothing is created.
    const std::string missing = dir.file("absent") + std::string(1, os().separator()) + "x.ini";
    EXPECT_FALSE(os().writeFileAtomic(missing.c_str(), "abc", 3));
    EXPECT_FALSE(test::exists(dir.file("absent")));
    // The target is a directory: the rename is refused and the temporary removed.
    std::filesystem::create_directory(dir.path() / "taken.ini");
    const std::string taken = dir.file("taken.ini");
    EXPECT_FALSE(os().writeFileAtomic(taken.c_str(), "abc", 3));
    EXPECT_TRUE(std::filesystem::is_directory(taken));
    EXPECT_EQ(test::directoryNames(dir.path()), std::vector<std::string>{"taken.ini"});
}

#ifndef _WIN32
TEST(PlatformFiles, AShortWriteKeepsTheOldFileIntact) {
    // A file size limit makes the write stop part way, as a full disk would.
    TempDir dir;
    const std::string path = dir.file("QX_Preset02.ini");
    const std::string old = "old preset text";
    ASSERT_TRUE(os().writeFileAtomic(path.c_str(), old.data(), old.size()));

    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct sigaction ignore {}, previous{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &previous);
    rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::string text(13000, 'n');
    const bool wrote = os().writeFileAtomic(path.c_str(), text.data(), text.size());
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::sigaction(SIGXFSZ, &previous, nullptr);

    EXPECT_FALSE(wrote);
    EXPECT_EQ(test::readBytes(path), old);
    EXPECT_EQ(test::directoryNames(dir.path()), std::vector<std::string>{"QX_Preset02.ini"});
}

TEST(PlatformFiles, OwnDataDirectoryFollowsTheConfigurationHome) {
    const char* savedConfig = std::getenv("XDG_CONFIG_HOME");
    const char* savedHome = std::getenv("HOME");
    const std::string config = savedConfig ? savedConfig : "", home = savedHome ? savedHome : "";
    char buffer[512];
    ::setenv("XDG_CONFIG_HOME", "/cfg", 1);
    ASSERT_TRUE(os().ownDataDirectory(buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "/cfg/quorvex/");
    ::setenv("XDG_CONFIG_HOME", "relative", 1);  // not absolute: ignored
    ::setenv("HOME", "/home/someone", 1);
    ASSERT_TRUE(os().ownDataDirectory(buffer, sizeof buffer));
    EXPECT_STREQ(buffer, "/home/someone/.config/quorvex/");
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("HOME");
    EXPECT_FALSE(os().ownDataDirectory(buffer, sizeof buffer));
    if (savedConfig) ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    if (savedHome) ::setenv("HOME", home.c_str(), 1);
}
#endif

TEST(PlatformFiles, ReadStopsAtTheCapacityAndRefusesNonFiles) {
    TempDir dir;
    test::writeBytes(dir.file("a.txt"), "0123456789");
    char buffer[16] = {};
    std::size_t length = 99;
    ASSERT_TRUE(os().readFile(dir.file("a.txt").c_str(), buffer, 4, length));
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(std::string(buffer, 4), "0123");
    ASSERT_TRUE(os().readFile(dir.file("a.txt").c_str(), buffer, sizeof buffer, length));
    EXPECT_EQ(length, 10u);
    test::writeBytes(dir.file("crlf.txt"), "a\r\nb\n");  // no newline translation either way
    ASSERT_TRUE(os().readFile(dir.file("crlf.txt").c_str(), buffer, sizeof buffer, length));
    EXPECT_EQ(std::string(buffer, length), "a\r\nb\n");

    EXPECT_FALSE(os().readFile(dir.file("missing").c_str(), buffer, sizeof buffer, length));
    EXPECT_EQ(length, 0u);
    std::filesystem::create_directory(dir.path() / "sub");
    EXPECT_FALSE(os().readFile(dir.file("sub").c_str(), buffer, sizeof buffer, length));
}

TEST(PlatformFiles, DeleteRemovesFilesOnly) {
    TempDir dir;
    test::writeBytes(dir.file("x"), "x");
    EXPECT_TRUE(os().deleteFile(dir.file("x").c_str()));
    EXPECT_FALSE(test::exists(dir.file("x")));
    EXPECT_FALSE(os().deleteFile(dir.file("x").c_str()));
    std::filesystem::create_directory(dir.path() / "sub");
    EXPECT_FALSE(os().deleteFile(dir.file("sub").c_str()));
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("sub")));
}

TEST(PlatformFiles, ListingMatchesTheWildcardAndSkipsDirectories) {
    TempDir dir;
    for (const char* name : {"QX_Preset02.ini", "QX_Preset01.ini", "QX_Preset.ini", "QX_Preset7.ini.bak",
                             "other.ini", "QX_Preset123.ini"})
        test::writeBytes(dir.file(name), "x");
    std::filesystem::create_directory(dir.path() / "QX_Preset05.ini");
    std::vector<std::string> names = {"stale"};
    ASSERT_TRUE(os().listFiles(dir.directory().c_str(), "QX_Preset*.ini", names));
    const std::vector<std::string> expected = {"QX_Preset.ini", "QX_Preset01.ini", "QX_Preset02.ini",
                                               "QX_Preset123.ini"};
    EXPECT_EQ(names, expected);

    TempDir empty;
    ASSERT_TRUE(os().listFiles(empty.directory().c_str(), "QX_Preset*.ini", names));
    EXPECT_TRUE(names.empty());
}

TEST(PlatformFiles, DirectoriesAreCreatedWithTheirParents) {
    TempDir dir;
    const char sep = os().separator();
    const std::string deep = dir.directory() + "a" + sep + "b" + sep + "c" + sep;
    EXPECT_TRUE(os().createDirectories(deep.c_str()));
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "a" / "b" / "c"));
    EXPECT_TRUE(os().createDirectories(deep.c_str()));  // already there
    EXPECT_TRUE(os().directoryHasEntries(dir.directory().c_str()));
    EXPECT_FALSE(os().directoryHasEntries((dir.directory() + "nope" + sep).c_str()));
    test::writeBytes(dir.file("file"), "x");
    EXPECT_FALSE(os().createDirectories((dir.directory() + "file" + sep + "x").c_str()));
}

TEST(PlatformResources, FactoryPresetsAreTheEmbeddedTexts) {
    for (int n = 0; n < 10; ++n) {
        const ResourceBytes resource = os().loadResource("FACTORYPRESETS", 106 + n);
        const ResourceBytes embedded = embeddedFactoryPreset(n);
        ASSERT_GT(embedded.size, 12000u) << n;
        ASSERT_EQ(resource.size, embedded.size) << n;
        EXPECT_EQ(std::memcmp(resource.data, embedded.data, embedded.size), 0) << n;
    }
    EXPECT_EQ(os().loadResource("FACTORYPRESETS", 105).size, 0u);
    EXPECT_EQ(os().loadResource("FACTORYPRESETS", 116).size, 0u);
    EXPECT_EQ(os().loadResource("TEXT", 999).size, 0u);
    EXPECT_EQ(embeddedFactoryPreset(10).size, 0u);
    EXPECT_EQ(embeddedFactoryPreset(-1).size, 0u);
}

TEST(PlatformRegistry, MissingValuesReadAsFailures) {
    char buffer[512] = "untouched";
    EXPECT_FALSE(os().readRegistryString("Software\\Quorvex\\NoSuchKey", "UninstallString", buffer, sizeof buffer));
#ifdef _WIN32
    // A string value every Windows (and Wine) installation has.
    ASSERT_TRUE(os().readRegistryString("Software\\Microsoft\\Windows NT\\CurrentVersion", "SystemRoot", buffer,
                                        sizeof buffer));
    EXPECT_GT(std::strlen(buffer), 2u);
    EXPECT_EQ(buffer[1], ':');
    // Too small a buffer is a failure, never a cut value.
    char small[3];
    EXPECT_FALSE(os().readRegistryString("Software\\Microsoft\\Windows NT\\CurrentVersion", "SystemRoot", small,
                                         sizeof small));
    // A value of another type than a plain string.
    EXPECT_FALSE(os().readRegistryString("Software\\Microsoft\\Windows NT\\CurrentVersion", "InstallDate", buffer,
                                         sizeof buffer));
#endif
}

TEST(PlatformWildcards, StarAndQuestionMark) {
    EXPECT_TRUE(wildcardMatch("QX_Preset*.ini", "QX_Preset01.ini", false));
    EXPECT_TRUE(wildcardMatch("QX_Preset*.ini", "QX_Preset.ini", false));
    EXPECT_TRUE(wildcardMatch("QX_Preset*.ini", "QX_Preset.ini.ini", false));
    EXPECT_FALSE(wildcardMatch("QX_Preset*.ini", "QX_Preset01.ini.bak", false));
    EXPECT_FALSE(wildcardMatch("QX_Preset*.ini", "qx_preset01.ini", false));
    EXPECT_TRUE(wildcardMatch("QX_Preset*.ini", "qx_preset01.INI", true));
    EXPECT_TRUE(wildcardMatch("a?c", "abc", false));
    EXPECT_FALSE(wildcardMatch("a?c", "ac", false));
    EXPECT_TRUE(wildcardMatch("*", "", false));
    EXPECT_TRUE(wildcardMatch("**a**", "xxa", false));
    EXPECT_FALSE(wildcardMatch("", "a", false));
}

#ifndef _WIN32
// On a thread of its own, so the test's thread keeps its scheduling whatever fails.
TEST(PlatformThreads, BatchSchedulingReachesStartedThreadsAndEnds) {
    auto policyOf = [](pthread_t t) {
        int policy = -1;
        sched_param p{};
        pthread_getschedparam(t, &policy, &p);
        return policy;
    };
    std::thread([&] {
        {
            BatchScheduling batch;
            ASSERT_TRUE(batch.active());
            EXPECT_EQ(policyOf(pthread_self()), SCHED_BATCH);
            int started = -1;
            std::thread([&] { started = policyOf(pthread_self()); }).join();
            EXPECT_EQ(started, SCHED_BATCH);
        }
        EXPECT_EQ(policyOf(pthread_self()), SCHED_OTHER);
        // Another policy than the usual one is the caller's choice and stays.
        const sched_param none{};
        ASSERT_EQ(pthread_setschedparam(pthread_self(), SCHED_IDLE, &none), 0);
        {
            BatchScheduling batch;
            EXPECT_FALSE(batch.active());
            EXPECT_EQ(policyOf(pthread_self()), SCHED_IDLE);
        }
        EXPECT_EQ(policyOf(pthread_self()), SCHED_IDLE);
    }).join();
}
#endif

}  // namespace
}  // namespace qx
