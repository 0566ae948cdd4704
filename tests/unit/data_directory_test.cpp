// Finding the data directory (the host's uninstall entry, then the guesses),
// keeping it, and turning file names into paths without ever cutting them.
#include <gtest/gtest.h>

#include <string>

#include "params/data_directory.h"
#include "persistence_test_support.h"

namespace qx {
namespace {

using test::ScriptedPlatform;

// A Windows-like machine: no directory of the platform's own, registry and
// drives as the test sets them.
ScriptedPlatform hostMachine() {
    ScriptedPlatform p;
    p.noOwnDirectory = true;
    p.fakeDirectories = true;
    return p;
}

TEST(DataDirectoryDiscovery, QuotedUninstallerPathGivesItsDirectory) {
    ScriptedPlatform p = hostMachine();
    p.hasRegistryValue = true;
    p.registryValue = "\"C:\\Program Files\\Winamp\\UninstWA.exe\"";
    p.existingDirectories = {"C:\\Program Files\\Winamp\\"};
    DataDirectory dir(p);
    EXPECT_STREQ(dir.directory(), "C:\\Program Files\\Winamp\\");
    EXPECT_EQ(p.testedDirectories, std::vector<std::string>{"C:\\Program Files\\Winamp\\"});

    PathBuffer path;
    ASSERT_TRUE(dir.dataPath("dsp_Quorvex.ini", path));
    EXPECT_STREQ(path.data(), "C:\\Program Files\\Winamp\\dsp_Quorvex.ini");
}

TEST(DataDirectoryDiscovery, UnquotedAndHalfQuotedValuesAreTrimmed) {
    ScriptedPlatform p = hostMachine();
    p.hasRegistryValue = true;
    p.registryValue = "D:\\Apps\\Winamp\\uninst.exe\"";
    p.existingDirectories = {"D:\\Apps\\Winamp\\"};
    DataDirectory dir(p);
    EXPECT_STREQ(dir.directory(), "D:\\Apps\\Winamp\\");
}

TEST(DataDirectoryDiscovery, AVanishedInstallationFallsThroughToTheGuesses) {
    ScriptedPlatform p = hostMachine();
    p.hasRegistryValue = true;
    p.registryValue = "\"C:\\Gone\\Winamp\\UninstWA.exe\"";
    p.existingDirectories = {"E:\\Winamp\\", "C:\\"};
    DataDirectory dir(p);
    EXPECT_STREQ(dir.directory(), "E:\\Winamp\\");
    const std::vector<std::string> tried = {"C:\\Gone\\Winamp\\",      "C:\\Progra~1\\Winamp\\",
                                            "D:\\Progra~1\\Winamp\\", "E:\\Progra~1\\Winamp\\",
                                            "C:\\Winamp\\",           "D:\\Winamp\\",
                                            "E:\\Winamp\\"};
    EXPECT_EQ(p.testedDirectories, tried);
}

TEST(DataDirectoryDiscovery, OnlyDriveDPresentGivesItsRoot) {
    ScriptedPlatform p = hostMachine();
    p.existingDirectories = {"D:\\"};
    DataDirectory dir(p);
    EXPECT_STREQ(dir.directory(), "D:\\");
    EXPECT_EQ(p.directoryTests, 8);
}

TEST(DataDirectoryDiscovery, AValueWithoutBackslashIsTestedUnchanged) {
    ScriptedPlatform p = hostMachine();
    p.hasRegistryValue = true;
    p.registryValue = "uninst.exe";
    p.existingDirectories = {"uninst.exe", "C:\\"};
    DataDirectory dir(p);
    EXPECT_STREQ(dir.directory(), "uninst.exe");

    ScriptedPlatform q = hostMachine();
    q.hasRegistryValue = true;
    q.registryValue = "uninst.exe";
    q.existingDirectories = {"C:\\"};
    DataDirectory other(q);
    EXPECT_STREQ(other.directory(), "C:\\");
}

TEST(DataDirectoryDiscovery, NothingFoundMeansBareNamesAndRepeatedDiscovery) {
    ScriptedPlatform p = hostMachine();
    DataDirectory dir(p);
    PathBuffer path;
    ASSERT_TRUE(dir.dataPath("QX_Select.tmp", path));
    EXPECT_STREQ(path.data(), "QX_Select.tmp");
    EXPECT_EQ(p.registryReads, 1);
    EXPECT_EQ(p.directoryTests, 9);
    ASSERT_TRUE(dir.dataPath("QX_Select.tmp", path));
    EXPECT_EQ(p.registryReads, 2);  // still empty: every use tries again
    EXPECT_EQ(p.directoryTests, 18);
}

TEST(DataDirectoryDiscovery, AFoundDirectoryIsKept) {
    ScriptedPlatform p = hostMachine();
    p.existingDirectories = {"C:\\Winamp\\"};
    DataDirectory dir(p);
    EXPECT_STREQ(dir.directory(), "C:\\Winamp\\");
    p.existingDirectories.clear();  // the directory disappears
    PathBuffer path;
    ASSERT_TRUE(dir.dataPath("x.ini", path));
    EXPECT_STREQ(path.data(), "C:\\Winamp\\x.ini");
    EXPECT_EQ(p.registryReads, 1);
}

TEST(DataDirectoryDiscovery, ThePlatformsOwnDirectoryComesFirst) {
    ScriptedPlatform p;  // forwards ownDataDirectory to the system
    p.fakeDirectories = true;
    char own[kPathCapacity];
    if (!systemPlatform().ownDataDirectory(own, sizeof own)) GTEST_SKIP() << "this platform discovers the host's directory";
    DataDirectory dir(p);
    EXPECT_STREQ(dir.directory(), own);
    EXPECT_EQ(p.registryReads, 0);
}

TEST(DataDirectoryPaths, DirectoryAndNameMayTogetherHold511Characters) {
    ScriptedPlatform p = hostMachine();
    DataDirectory dir(p);
    const std::string base = "C:\\" + std::string(496 - 4, 'a') + "\\";  // 496 characters
    ASSERT_EQ(base.size(), 496u);
    ASSERT_TRUE(dir.setDirectory(base));
    PathBuffer path;
    ASSERT_TRUE(dir.dataPath("QX_Preset01.ini", path));  // 511
    EXPECT_EQ(std::string(path.data()), base + "QX_Preset01.ini");
    EXPECT_FALSE(dir.dataPath("QX_Preset01.inix", path));  // 512: refused, not cut
    EXPECT_STREQ(path.data(), "");
    EXPECT_EQ(p.registryReads, 0);  // a directory set by hand is never discovered
}

TEST(DataDirectoryPaths, SetDirectoryAddsTheSeparatorAndRefusesWhatDoesNotFit) {
    ScriptedPlatform p = hostMachine();  // separator '\'
    DataDirectory dir(p);
    ASSERT_TRUE(dir.setDirectory("C:\\Data"));
    EXPECT_STREQ(dir.directory(), "C:\\Data\\");
    ASSERT_TRUE(dir.setDirectory("/tmp/qx/"));
    EXPECT_STREQ(dir.directory(), "/tmp/qx/");
    EXPECT_FALSE(dir.setDirectory(""));
    EXPECT_FALSE(dir.setDirectory(std::string(511, 'x')));  // 512 with the separator
    EXPECT_STREQ(dir.directory(), "/tmp/qx/");
    EXPECT_TRUE(dir.setDirectory(std::string(510, 'x')));
    EXPECT_EQ(std::string(dir.directory()).size(), 511u);
}

}  // namespace
}  // namespace qx
