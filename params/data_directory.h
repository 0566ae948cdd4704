#pragma once
// The directory that holds the settings file, the user presets and the
// selection file. On Windows it is the host's installation directory, found
// through the host's uninstall entry or a list of guesses; where the platform
// keeps a directory of its own (the Linux tool) that one is used, and the tool
// may name another. Found on first use and then kept.
#include <array>
#include <cstddef>
#include <string_view>

#include "platform/platform.h"

namespace qx {

// Directory and file name together are at most 511 characters.
constexpr std::size_t kPathCapacity = 512;
using PathBuffer = std::array<char, kPathCapacity>;

// The uninstall entry read on Windows, and the guesses tried after it.
inline constexpr const char* kUninstallKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Winamp";
inline constexpr const char* kUninstallValue = "UninstallString";

class DataDirectory {
public:
    explicit DataDirectory(Platform& platform) : platform_(platform) {}

    Platform& platform() const { return platform_; }

    // Uses `directory` from now on instead of discovering one; a separator is
    // added when missing. False (nothing changed) when it is empty or too long.
    bool setDirectory(std::string_view directory);

    // The directory with its trailing separator; discovers it while empty, so
    // an empty result means nothing was found (files then live in the current
    // directory, by their bare names).
    const char* directory();

    // directory() followed by `name`. False, with `out` empty, when the whole
    // path would be longer than 511 characters: such a path is refused, never
    // cut short.
    bool dataPath(std::string_view name, PathBuffer& out);

    // Creates the directory when it does not exist yet (before a write).
    bool ensureExists();

    // The discovery over the registry and the guesses; exposed for tests.
    // Leaves the directory text in `out`, empty when no candidate passed.
    static void discoverHostDirectory(Platform& platform, PathBuffer& out);

private:
    Platform& platform_;
    PathBuffer directory_{};
};

}  // namespace qx
