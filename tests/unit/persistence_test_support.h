#pragma once
// Shared pieces of the persistence tests: a private temporary directory, whole
// file helpers, and a platform that forwards to the real one but can be told
// to fail writes and deletes or to pretend a registry and a set of drives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace qx::test {

// A fresh directory under the system's temporary directory, removed afterwards.
class TempDir {
public:
    TempDir() {
        const auto base = std::filesystem::temp_directory_path();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string stem = std::string("qx_") + (info != nullptr ? info->name() : "test");
        for (char& c : stem)
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        for (int i = 0;; ++i) {
            path_ = base / (stem + "_" + std::to_string(i));
            std::error_code error;
            if (std::filesystem::create_directory(path_, error)) break;
            if (i > 10000) {
                ADD_FAILURE() << "no temporary directory under " << base.string();
                break;
            }
        }
    }
    ~TempDir() {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The directory with a trailing separator, as the data directory holds it.
    std::string directory() const { return (path_ / "").string(); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline bool exists(const std::string& path) { return std::filesystem::exists(path); }

inline std::vector<std::string> directoryNames(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Forwards to the system platform unless told otherwise.
class ScriptedPlatform : public Platform {
public:
    bool failWrites = false;
    bool failDeletes = false;
    // Discovery: a registry value (when set) and the directories that exist.
    bool hasRegistryValue = false;
    std::string registryValue;
    std::set<std::string> existingDirectories;
    bool fakeDirectories = false;  // answer directoryHasEntries from the set above
    bool noOwnDirectory = false;
    int registryReads = 0;
    int directoryTests = 0;
    std::vector<std::string> testedDirectories;

    bool readFile(const char* path, char* buffer, std::size_t capacity, std::size_t& length) override {
        return real().readFile(path, buffer, capacity, length);
    }
    bool writeFileAtomic(const char* path, const char* data, std::size_t length) override {
        if (failWrites) return false;
        return real().writeFileAtomic(path, data, length);
    }
    bool deleteFile(const char* path) override {
        if (failDeletes) return false;
        return real().deleteFile(path);
    }
    bool fileWriteTime(const char* path, uint64_t& stamp) override { return real().fileWriteTime(path, stamp); }
    bool listFiles(const char* directory, const char* pattern, std::vector<std::string>& names) override {
        return real().listFiles(directory, pattern, names);
    }
    bool directoryHasEntries(const char* directory) override {
        ++directoryTests;
        testedDirectories.emplace_back(directory);
        if (fakeDirectories) return existingDirectories.count(directory) != 0;
        return real().directoryHasEntries(directory);
    }
    bool createDirectories(const char* directory) override { return real().createDirectories(directory); }
    bool ownDataDirectory(char* buffer, std::size_t capacity) override {
        if (noOwnDirectory) return false;
        return real().ownDataDirectory(buffer, capacity);
    }
    bool readRegistryString(const char*, const char*, char* buffer, std::size_t capacity) override {
        ++registryReads;
        if (!hasRegistryValue || registryValue.size() + 1 > capacity) return false;
        std::memcpy(buffer, registryValue.c_str(), registryValue.size() + 1);
        return true;
    }
    ResourceBytes loadResource(const char* type, int id) override { return real().loadResource(type, id); }
    char separator() const override { return fakeDirectories ? '\\' : real().separator(); }

private:
    static Platform& real() { return systemPlatform(); }
};

}  // namespace qx::test
