// Any bytes as the selection file: the poll reads a bounded prefix, loads at
// most one preset, never leaves a parameter non-finite, and deletes the file
// unless it is blank (its writer may not be done yet).
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "params/preset_library.h"
#include "platform/platform.h"

namespace {

struct Setup {
    std::string directory;
    qx::fuzz::Bench bench;
    qx::DataDirectory data{qx::systemPlatform()};
    qx::PresetLibrary library{data};
    std::string selection;

    Setup() {
        char pattern[] = "/tmp/qx_selection_fuzz_XXXXXX";
        const char* made = ::mkdtemp(pattern);
        if (made == nullptr) std::abort();
        directory = made;
        data.setDirectory(directory);
        library.bind(&bench.table, bench.state.get(), nullptr);
        // One user slot to load, with a damaged line, over base F6.
        const std::string preset =
            "x\r\nGeneral.Name                   = Seven\r\nGeneral.BaseFactoryPreset      = -5\r\n"
            "AGC.Level.%                    = 1e99\r\n";
        qx::systemPlatform().writeFileAtomic((directory + "/QX_Preset07.ini").c_str(), preset.data(), preset.size());
        library.scanLibrary();
        selection = directory + "/" + qx::kSelectionFileName;
    }
    ~Setup() {
        ::unlink(selection.c_str());
        ::unlink((directory + "/QX_Preset07.ini").c_str());
        ::rmdir(directory.c_str());
    }
};

Setup& setup() {
    static Setup s;
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Setup& s = setup();
    std::FILE* file = std::fopen(s.selection.c_str(), "wb");
    if (file == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
    std::fclose(file);
    s.library.pollSelectionFile(nullptr);
    // Only a blank file waits for its writer; anything else is consumed.
    bool blank = size < qx::kSelectionReadLimit;
    for (size_t i = 0; i < size; ++i)
        if (!std::isspace(data[i])) blank = false;
    if ((::access(s.selection.c_str(), F_OK) == 0) != blank) {
        std::fprintf(stderr, blank ? "blank selection file consumed\n" : "selection file left behind\n");
        std::abort();
    }
    const int32_t startup = s.library.startupPreset.load();
    if (startup < -9 || startup > 99) {
        std::fprintf(stderr, "start-up preset %d out of range\n", startup);
        std::abort();
    }
    s.bench.requireFiniteValues();
    return 0;
}
