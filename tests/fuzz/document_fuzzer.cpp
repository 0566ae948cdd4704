// Any bytes as a settings or preset file: lookups, the number parse and the
// transfer into the parameters must stay in bounds and keep values finite;
// whatever is read writes out as a well-formed document again.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "fuzz_support.h"
#include "params/settings_document.h"

namespace {
qx::fuzz::Bench& bench() {
    static qx::fuzz::Bench b;
    return b;
}
void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace qx;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    SettingsDocument doc;
    doc.setText(input);
    require(doc.text().size() <= SettingsDocument::kMaxReadBytes, "text length");

    float single = 0.0f;
    if (parseSingle(input, single)) require(std::isfinite(single), "parsed value finite");

    // Keys taken from the input itself reach the odd corners of the lookup.
    const std::string_view head = input.substr(0, std::min<size_t>(input.size(), 48));
    for (std::string_view key : {std::string_view("General.Name"), std::string_view("Compressor.Gain1.dB"), head}) {
        const double v = doc.readNumber(key, 1.5);
        require(std::isfinite(v), "readNumber finite");
        std::string_view text;
        if (doc.readText(key, text)) {
            require(text.size() <= SettingsDocument::kMaxTextLength, "text value length");
            require(text.data() >= doc.text().data() && text.data() + text.size() <= doc.text().data() + doc.text().size(),
                    "text value inside the document");
        }
        (void)doc.hasKey(key);
    }

    char name[256];
    std::memset(name, 'x', sizeof name);
    const bool allKeys = size > 0 && (data[0] & 1) != 0;
    doc.fillParameters(bench().table, allKeys, name);
    require(std::memchr(name, '\0', sizeof name) != nullptr, "name terminated");
    bench().requireFiniteValues();

    SettingsDocument out;
    out.beginDocument("QX_Preset01.ini");
    out.appendText("General.Name", name);
    out.writeParameters(bench().table);
    require(out.text().size() <= SettingsDocument::kMaxReadBytes, "written length");
    return 0;
}
