// The Windows side of the platform seam (the plug-in and the Windows tests).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace qx {

namespace {

HMODULE resourceModule = nullptr;

bool isDirectoryPath(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

class Win32Platform final : public Platform {
public:
    bool readFile(const char* path, char* buffer, std::size_t capacity, std::size_t& length) override {
        length = 0;
        HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        if (GetFileType(file) != FILE_TYPE_DISK) {
            CloseHandle(file);
            return false;
        }
        while (length < capacity) {
            DWORD want = static_cast<DWORD>(std::min<std::size_t>(capacity - length, 1u << 20));
            DWORD got = 0;
            if (!ReadFile(file, buffer + length, want, &got, nullptr) || got == 0) break;
            length += got;
        }
        CloseHandle(file);
        return true;
    }

    bool fileWriteTime(const char* path, uint64_t& stamp) override {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data)) return false;
        stamp = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
        return true;
    }

    bool writeFileAtomic(const char* path, const char* data, std::size_t length) override {
        std::string temp = std::string(path) + ".new";
        HANDLE file = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        bool ok = true;
        std::size_t done = 0;
        while (ok && done < length) {
            DWORD want = static_cast<DWORD>(std::min<std::size_t>(length - done, 1u << 20));
            DWORD wrote = 0;
            ok = WriteFile(file, data + done, want, &wrote, nullptr) && wrote == want;
            done += wrote;
        }
        ok = ok && FlushFileBuffers(file);
        ok = CloseHandle(file) && ok;
        ok = ok && MoveFileExA(temp.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        if (!ok) DeleteFileA(temp.c_str());
        return ok;
    }

    bool deleteFile(const char* path) override { return DeleteFileA(path) != 0; }

    bool listFiles(const char* directory, const char* pattern, std::vector<std::string>& names) override {
        names.clear();
        std::string search = std::string(directory) + pattern;
        WIN32_FIND_DATAA entry;
        HANDLE find = FindFirstFileA(search.c_str(), &entry);
        if (find == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
        do {
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names.emplace_back(entry.cFileName);
        } while (FindNextFileA(find, &entry));
        FindClose(find);
        std::sort(names.begin(), names.end());
        return true;
    }

    bool directoryHasEntries(const char* directory) override {
        std::string search = std::string(directory) + "*";
        WIN32_FIND_DATAA entry;
        HANDLE find = FindFirstFileA(search.c_str(), &entry);
        if (find == INVALID_HANDLE_VALUE) return false;
        FindClose(find);
        return true;
    }

    bool createDirectories(const char* directory) override {
        std::string path = directory;
        while (!path.empty() && (path.back() == '\\' || path.back() == '/')) path.pop_back();
        if (path.empty() || (path.size() == 2 && path[1] == ':')) return true;
        for (std::size_t i = 1; i <= path.size(); ++i) {
            if (i < path.size() && path[i] != '\\' && path[i] != '/') continue;
            std::string part = path.substr(0, i);
            if (part.size() == 2 && part[1] == ':') continue;  // a drive
            if (!CreateDirectoryA(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
        }
        return isDirectoryPath(path.c_str());
    }

    bool ownDataDirectory(char*, std::size_t) override { return false; }

    bool readRegistryString(const char* key, const char* value, char* buffer, std::size_t capacity) override {
        if (capacity == 0) return false;
        buffer[0] = '\0';
        HKEY handle = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS) return false;
        DWORD type = 0;
        // One byte is kept for the NUL the registry does not promise.
        DWORD size = static_cast<DWORD>(capacity - 1);
        LONG result = RegQueryValueExA(handle, value, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
        RegCloseKey(handle);
        if (result != ERROR_SUCCESS || type != REG_SZ) {
            buffer[0] = '\0';
            return false;
        }
        buffer[std::min<std::size_t>(size, capacity - 1)] = '\0';
        return true;
    }

    ResourceBytes loadResource(const char* type, int id) override {
        HMODULE module = resourceModule != nullptr ? resourceModule : GetModuleHandleA(nullptr);
        HRSRC info = FindResourceA(module, MAKEINTRESOURCEA(id), type);
        if (info != nullptr) {
            HGLOBAL loaded = LoadResource(module, info);
            const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
            DWORD size = SizeofResource(module, info);
            if (bytes != nullptr) return {static_cast<const char*>(bytes), size};
            return {};
        }
        // A program without the resource section (the tests) carries the same
        // texts compiled in.
        if (std::strcmp(type, "FACTORYPRESETS") == 0) return embeddedFactoryPreset(id - 106);
        return {};
    }

    char separator() const override { return '\\'; }
};

}  // namespace

Platform& systemPlatform() {
    static Win32Platform platform;
    return platform;
}

void setResourceModule(void* module) { resourceModule = static_cast<HMODULE>(module); }

}  // namespace qx
