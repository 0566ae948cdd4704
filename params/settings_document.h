#pragma once
// The text buffer through which every settings and preset file is read and
// written: four header lines, then one "key<spaces> = value" line per entry,
// CR LF endings. A text loaded with bare LF line ends gets CR LF as it is
// loaded, within the 16383-byte limit. Lookups are plain text searches for
// CR LF + key + space, so a key is never recognised on the first line, and the
// first occurrence wins.
// Numbers are written in fixed notation and read back in single precision.
//
// One document per operation: the object owns its 16 KB buffer and allocates
// nothing, so it can be used on the audio thread (the selection poll).
#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "params/data_directory.h"
#include "params/parameter_table.h"
#include "platform/platform.h"

namespace qx {

inline constexpr const char* kProductVersion = "Quorvex v1.81";
inline constexpr const char* kBannerLine = "Quorvex broadcast audio processor";
inline constexpr const char* kFactoryPresetType = "FACTORYPRESETS";
inline constexpr int kFactoryPresetFirstId = 106;

class SettingsDocument {
public:
    static constexpr std::size_t kCapacity = 16384;
    static constexpr std::size_t kMaxReadBytes = kCapacity - 1;
    static constexpr std::size_t kAppendLimit = 16256;  // no append once the text is longer
    static constexpr std::size_t kMaxKeyLength = 40;
    static constexpr std::size_t kMaxTextLength = 31;  // longer text values read as absent
    static constexpr std::size_t kValueColumn = 30;    // key plus padding before " = "

    SettingsDocument() = default;

    // Clears the text, remembers the file name (no directory) for
    // writeDocument and writes the header; the settings form when the name
    // begins with "dsp_" in any letter case, else the preset form.
    void beginDocument(std::string_view fileName);

    // Replaces the text with the first 16383 bytes of the file in the data
    // directory; false (empty text) when it cannot be opened or the path is refused.
    bool readDocument(DataDirectory& directory, std::string_view fileName);
    // The same for a full path (the tool's preset files).
    bool readDocumentAt(Platform& platform, const char* path);
    // Replaces the text with factory preset n (0..9, F1..F10) from the
    // program's resources; false (empty text) when n is out of range or the
    // resource is missing, empty or larger than 16383 bytes.
    bool readFactoryDocument(Platform& platform, int n);
    // Replaces the text with the given bytes (cut after 16383, as a read).
    void setText(std::string_view text);

    // Writes the text to the remembered file in the data directory, replacing
    // the old file only once the whole text is written. False on any failure.
    bool writeDocument(DataDirectory& directory) const;

    // Append one line; refused (false, nothing appended) for keys the key
    // rules refuse, when the text is already longer than 16256 characters, or
    // when the line would not fit in the buffer.
    bool appendNumber(std::string_view key, int decimals, double value);
    bool appendText(std::string_view key, std::string_view text);

    bool hasKey(std::string_view key) const;
    // The value parsed like scanf "%f" into a float, widened; `fallback` when
    // the key is refused or absent, nothing parses, or the number is not finite
    // in single precision.
    double readNumber(std::string_view key, double fallback) const;
    // The text between the value start and the next CR, when there is such a
    // CR and the text is at most 31 characters. The view points into the
    // document and lives as long as its current text.
    bool readText(std::string_view key, std::string_view& out) const;

    // Copies values into the keyed parameters (table order). `presetName`, when
    // not empty, receives General.Name (empty text when absent), NUL-terminated.
    // With allKeys every parameter is assigned (its default when the key is
    // absent or does not parse); without, absent keys keep their values.
    void fillParameters(const ParameterTable& table, bool allKeys, std::span<char> presetName) const;
    // Appends one line per keyed parameter, table order; refused lines are skipped.
    void writeParameters(const ParameterTable& table);

    std::string_view text() const { return {buffer_.data(), length_}; }
    std::string_view fileName() const { return {fileName_.data(), fileNameLength_}; }

    static bool isValidKey(std::string_view key);

private:
    void clear();
    // Takes the text up to its first NUL and turns every bare LF into CR LF.
    void takeLength();
    void expandLineFeeds();
    bool appendLine(std::string_view key, std::string_view value);
    bool appendRaw(std::string_view text);
    // Start of the value of `key`, or npos when absent.
    std::size_t findValue(std::string_view key) const;

    std::array<char, kCapacity> buffer_{};
    std::size_t length_ = 0;
    std::array<char, kPathCapacity> fileName_{};
    std::size_t fileNameLength_ = 0;
    bool fileNameValid_ = false;
};

// scanf "%f" into a float from the start of `text`: leading white space,
// optional sign, digits with an optional point, optional exponent; stops at the
// first character that does not fit. False when no digit was converted or the
// result is not finite ("inf", "nan" and hexadecimal forms are not numbers here).
bool parseSingle(std::string_view text, float& out);

}  // namespace qx
