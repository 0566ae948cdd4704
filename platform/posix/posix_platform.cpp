// The POSIX side of the platform seam (Linux tool, native tests).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace qx {

namespace {

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool writeAll(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        ssize_t n = ::write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

class PosixPlatform final : public Platform {
public:
    bool readFile(const char* path, char* buffer, std::size_t capacity, std::size_t& length) override {
        length = 0;
        // Non-blocking open: a FIFO named like a preset must not stall the caller.
        int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return false;
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            return false;
        }
        while (length < capacity) {
            ssize_t n = ::read(fd, buffer + length, capacity - length);
            if (n < 0) {
                if (errno == EINTR) continue;
                break;  // what was read stays, like a short read of a damaged file
            }
            if (n == 0) break;
            length += static_cast<std::size_t>(n);
        }
        ::close(fd);
        return true;
    }

    bool fileWriteTime(const char* path, uint64_t& stamp) override {
        struct stat st {};
        if (::stat(path, &st) != 0) return false;
        stamp = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u + static_cast<uint64_t>(st.st_mtim.tv_nsec);
        return true;
    }

    bool writeFileAtomic(const char* path, const char* data, std::size_t length) override {
        std::string temp = std::string(path) + ".XXXXXX";
        int fd = ::mkstemp(temp.data());
        if (fd < 0) return false;
        bool ok = ::fchmod(fd, 0644) == 0;
        ok = ok && writeAll(fd, data, length);
        ok = ok && ::fsync(fd) == 0;
        ok = (::close(fd) == 0) && ok;
        ok = ok && ::rename(temp.c_str(), path) == 0;
        if (!ok) ::unlink(temp.c_str());
        return ok;
    }

    bool deleteFile(const char* path) override {
        if (isDirectory(path)) return false;
        return ::unlink(path) == 0;
    }

    bool listFiles(const char* directory, const char* pattern, std::vector<std::string>& names) override {
        names.clear();
        std::string dir = (directory[0] != '\0') ? directory : "./";
        DIR* d = ::opendir(dir.c_str());
        if (d == nullptr) return false;
        while (const dirent* e = ::readdir(d)) {
            if (!wildcardMatch(pattern, e->d_name, false)) continue;
            if (isDirectory(dir + e->d_name)) continue;
            names.emplace_back(e->d_name);
        }
        ::closedir(d);
        std::sort(names.begin(), names.end());
        return true;
    }

    bool directoryHasEntries(const char* directory) override {
        DIR* d = ::opendir(directory[0] != '\0' ? directory : ".");
        if (d == nullptr) return false;
        bool any = ::readdir(d) != nullptr;
        ::closedir(d);
        return any;
    }

    bool createDirectories(const char* directory) override {
        std::string path = directory;
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        if (path.empty()) return true;
        for (std::size_t i = 1; i <= path.size(); ++i) {
            if (i < path.size() && path[i] != '/') continue;
            std::string part = path.substr(0, i);
            if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
        }
        return isDirectory(path);
    }

    bool ownDataDirectory(char* buffer, std::size_t capacity) override {
        // $XDG_CONFIG_HOME/quorvex/, or ~/.config/quorvex/.
        std::string dir;
        const char* config = std::getenv("XDG_CONFIG_HOME");
        const char* home = std::getenv("HOME");
        if (config != nullptr && config[0] == '/')
            dir = std::string(config) + "/quorvex/";
        else if (home != nullptr && home[0] != '\0')
            dir = std::string(home) + "/.config/quorvex/";
        else
            return false;
        if (dir.size() + 1 > capacity) return false;
        std::memcpy(buffer, dir.c_str(), dir.size() + 1);
        return true;
    }

    bool readRegistryString(const char*, const char*, char*, std::size_t) override { return false; }

    ResourceBytes loadResource(const char* type, int id) override {
        if (std::strcmp(type, "FACTORYPRESETS") != 0) return {};
        return embeddedFactoryPreset(id - 106);
    }

    char separator() const override { return '/'; }
};

}  // namespace

Platform& systemPlatform() {
    static PosixPlatform platform;
    return platform;
}

void setResourceModule(void*) {}

}  // namespace qx
