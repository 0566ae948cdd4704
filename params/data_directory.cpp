#include "params/data_directory.h"

#include <algorithm>
#include <cstring>

namespace qx {

namespace {

constexpr const char* kCandidates[] = {
    "C:\\Progra~1\\Winamp\\", "D:\\Progra~1\\Winamp\\", "E:\\Progra~1\\Winamp\\",
    "C:\\Winamp\\",           "D:\\Winamp\\",           "E:\\Winamp\\",
    "C:\\",                   "D:\\",                   "E:\\",
};

bool copyText(std::string_view text, PathBuffer& out) {
    if (text.size() >= out.size()) return false;
    std::copy_n(text.data(), text.size(), out.data());
    out[text.size()] = '\0';
    return true;
}

}  // namespace

void DataDirectory::discoverHostDirectory(Platform& platform, PathBuffer& out) {
    out.fill('\0');
    if (platform.readRegistryString(kUninstallKey, kUninstallValue, out.data(), out.size())) {
        // The value is usually the quoted path of the uninstaller: keep its directory.
        std::size_t length = std::strlen(out.data());
        if (length > 0 && out[0] == '"') {
            std::memmove(out.data(), out.data() + 1, length);  // moves the NUL too
            --length;
        }
        if (length > 0 && out[length - 1] == '"') out[--length] = '\0';
        for (std::size_t i = length; i-- > 0;) {
            if (out[i] == '\\') {
                out[i + 1] = '\0';
                break;
            }
        }
        if (platform.directoryHasEntries(out.data())) return;
    }
    out.fill('\0');
    for (const char* candidate : kCandidates) {
        if (platform.directoryHasEntries(candidate)) {
            copyText(candidate, out);
            return;
        }
    }
}

bool DataDirectory::setDirectory(std::string_view directory) {
    if (directory.empty()) return false;
    const char last = directory.back();
    const bool hasSeparator = last == '/' || last == platform_.separator();
    const std::size_t length = directory.size() + (hasSeparator ? 0 : 1);
    if (length >= directory_.size()) return false;
    directory_.fill('\0');
    std::copy_n(directory.data(), directory.size(), directory_.data());
    if (!hasSeparator) directory_[directory.size()] = platform_.separator();
    return true;
}

const char* DataDirectory::directory() {
    if (directory_[0] == '\0') {
        PathBuffer found{};
        if (!platform_.ownDataDirectory(found.data(), found.size()) || found[0] == '\0')
            discoverHostDirectory(platform_, found);
        found.back() = '\0';
        directory_ = found;
    }
    return directory_.data();
}

bool DataDirectory::dataPath(std::string_view name, PathBuffer& out) {
    const char* dir = directory();
    const std::size_t dirLength = std::strlen(dir);
    out[0] = '\0';
    if (dirLength + name.size() >= out.size()) return false;
    if (name.find('\0') != std::string_view::npos) return false;
    std::copy_n(dir, dirLength, out.data());
    std::copy_n(name.data(), name.size(), out.data() + dirLength);
    out[dirLength + name.size()] = '\0';
    return true;
}

bool DataDirectory::ensureExists() {
    const char* dir = directory();
    if (dir[0] == '\0') return true;  // the current directory
    return platform_.createDirectories(dir);
}

}  // namespace qx
