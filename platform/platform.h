#pragma once
// The operating-system seam of the persistence code: whole-file reads, atomic
// writes, deletion, wildcard listing, the data directory, embedded resources
// and the registry. No operating-system header appears here, so the portable
// library can hold a reference to a Platform without depending on the OS side;
// tests derive from it to put files in a temporary directory or to fail on cue.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qx {

// Bytes of a resource that lives as long as the program (or the module).
struct ResourceBytes {
    const char* data = nullptr;
    std::size_t size = 0;
};

class Platform {
public:
    virtual ~Platform() = default;

    // Reads at most `capacity` bytes from the start of a regular file into
    // `buffer` and sets `length`. False when the file cannot be opened or is
    // not a regular file. Never waits on pipes or devices.
    virtual bool readFile(const char* path, char* buffer, std::size_t capacity, std::size_t& length) = 0;

    // Writes the bytes to a temporary file in the same directory and renames it
    // over `path` once everything was written and flushed. On any failure
    // (short write, full disk, rename refused) the old file is left intact, the
    // temporary is removed, and the result is false.
    virtual bool writeFileAtomic(const char* path, const char* data, std::size_t length) = 0;

    // Deletes a file; false when it could not be deleted.
    virtual bool deleteFile(const char* path) = 0;

    // The file's last write time in the system's own units; false when the
    // file cannot be examined. Only compared for equality.
    virtual bool fileWriteTime(const char* path, uint64_t& stamp) = 0;

    // Names (without directory) of the entries of `directory` (empty, or ending
    // in a separator) that match `pattern` ('*' and '?' wildcards) and are not
    // directories, in ascending byte order. False when the search failed.
    virtual bool listFiles(const char* directory, const char* pattern, std::vector<std::string>& names) = 0;

    // The wildcard search of directory + "*" finds at least one entry.
    virtual bool directoryHasEntries(const char* directory) = 0;

    // Creates the directory and its missing parents; true when it exists afterwards.
    virtual bool createDirectories(const char* directory) = 0;

    // The platform's own data directory (with trailing separator) when it has
    // one, e.g. the user's configuration directory; false when the host's
    // installation directory has to be discovered instead.
    virtual bool ownDataDirectory(char* buffer, std::size_t capacity) = 0;

    // A string value under HKEY_LOCAL_MACHINE; false when the key or value is
    // missing, is not a plain string, or does not fit (with its NUL) in `capacity`.
    virtual bool readRegistryString(const char* key, const char* value, char* buffer, std::size_t capacity) = 0;

    // A resource of the given type and integer id; size 0 when it is missing.
    virtual ResourceBytes loadResource(const char* type, int id) = 0;

    // The directory separator appended to directories ('/' or '\\').
    virtual char separator() const = 0;
};

// The implementation for the system the program was built for.
Platform& systemPlatform();

// Windows: the module whose resources loadResource searches first (the
// plug-in's instance handle). Null, the default, means the program itself.
// Ignored elsewhere.
void setResourceModule(void* module);

// The ten factory preset texts compiled into the program from
// resources/presets/F01.ini … F10.ini; index 0..9, size 0 outside.
ResourceBytes embeddedFactoryPreset(int index);

// Matches a file name against a pattern of '*' and '?' wildcards.
bool wildcardMatch(const char* pattern, const char* name, bool ignoreCase);

}  // namespace qx
