#include "params/settings_document.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

namespace qx {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool parseSingle(std::string_view text, float& out) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n && isSpace(text[i])) ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    const std::size_t start = i;  // digits, point, exponent: no sign for from_chars
    std::size_t digits = 0;
    while (i < n && isDigit(text[i])) ++i, ++digits;
    if (i < n && text[i] == '.') {
        ++i;
        while (i < n && isDigit(text[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    // An exponent counts only with at least one digit after its optional sign.
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < n && (text[j] == '+' || text[j] == '-')) ++j;
        if (j < n && isDigit(text[j])) {
            while (j < n && isDigit(text[j])) ++j;
            i = j;
        }
    }
    const char* first = text.data() + start;
    const char* last = text.data() + i;
    float value = 0.0f;
    auto result = std::from_chars(first, last, value, std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range) {
        // Either too large for a float (not a usable number) or too small
        // (rounds to zero or a denormal, as scanf gives).
        double wide = 0.0;
        auto wideResult = std::from_chars(first, last, wide, std::chars_format::general);
        if (wideResult.ec != std::errc() && wideResult.ec != std::errc::result_out_of_range) return false;
        if (wideResult.ec == std::errc::result_out_of_range) {
            // Beyond double as well: an exponent this large in magnitude.
            const char* e = first;
            while (e < last && *e != 'e' && *e != 'E') ++e;
            if (e + 1 < last && e[1] == '-') {
                wide = 0.0;
            } else {
                return false;
            }
        }
        value = static_cast<float>(wide);
    } else if (result.ec != std::errc()) {
        return false;
    }
    if (!std::isfinite(value)) return false;
    out = negative ? -value : value;
    return true;
}

bool SettingsDocument::isValidKey(std::string_view key) {
    if (key.empty() || key.size() > kMaxKeyLength) return false;
    for (char c : key)
        if (c == ' ' || c == '\0') return false;
    return true;
}

void SettingsDocument::clear() {
    buffer_.fill('\0');
    length_ = 0;
}

void SettingsDocument::takeLength() {
    // The text ends at its first NUL, as every search sees it.
    buffer_[kMaxReadBytes] = '\0';
    length_ = std::strlen(buffer_.data());
    expandLineFeeds();
}

void SettingsDocument::expandLineFeeds() {
    // Files edited with LF line ends must find their keys too (the lookup
    // wants CR LF before a key and a CR after a text value). In place and
    // without allocation: the selection poll reads documents on the audio thread.
    auto bare = [&](std::size_t i) { return buffer_[i] == '\n' && (i == 0 || buffer_[i - 1] != '\r'); };
    std::size_t kept = length_;  // source bytes that fit once expanded
    std::size_t grown = length_;
    for (std::size_t i = 0; i < length_; ++i) grown += bare(i) ? 1 : 0;
    if (grown == length_) return;
    if (grown > kMaxReadBytes) {
        // Too long once expanded: keep whole lines only, so no value is cut.
        std::size_t size = 0;
        std::size_t lastLineEnd = 0;
        for (std::size_t i = 0; i < length_; ++i) {
            size += bare(i) ? 2 : 1;
            if (size > kMaxReadBytes) break;
            if (buffer_[i] == '\n') lastLineEnd = i + 1;
        }
        kept = lastLineEnd;
        grown = kept;
        for (std::size_t i = 0; i < kept; ++i) grown += bare(i) ? 1 : 0;
    }
    // Back to front, so every byte is read before it is overwritten.
    std::size_t to = grown;
    for (std::size_t from = kept; from > 0;) {
        --from;
        const bool addCr = bare(from);
        buffer_[--to] = buffer_[from];
        if (addCr) buffer_[--to] = '\r';
    }
    std::fill(buffer_.begin() + static_cast<std::ptrdiff_t>(grown), buffer_.end(), '\0');
    length_ = grown;
}

void SettingsDocument::beginDocument(std::string_view fileName) {
    clear();
    fileName_.fill('\0');
    fileNameValid_ = fileName.size() < fileName_.size() && fileName.find('\0') == std::string_view::npos;
    fileNameLength_ = fileNameValid_ ? fileName.size() : 0;
    if (fileNameValid_) std::copy_n(fileName.data(), fileName.size(), fileName_.data());

    bool settingsForm = fileNameLength_ >= 4;
    for (std::size_t i = 0; settingsForm && i < 4; ++i) settingsForm = lower(fileName_[i]) == "dsp_"[i];

    appendRaw(kBannerLine);
    appendRaw(kLineEnd);
    appendRaw(settingsForm ? "This is a settings file for " : "This is a preset file for ");
    appendRaw(kProductVersion);
    appendRaw(kLineEnd);
    appendRaw("Filename: ");
    appendRaw(std::string_view(fileName_.data(), fileNameLength_));
    appendRaw(kLineEnd);
    appendRaw("-----------------------------------------");  // 41
    appendRaw(kLineEnd);
}

bool SettingsDocument::appendRaw(std::string_view text) {
    if (length_ + text.size() > kMaxReadBytes) return false;
    std::copy_n(text.data(), text.size(), buffer_.data() + length_);
    length_ += text.size();
    buffer_[length_] = '\0';
    return true;
}

bool SettingsDocument::readDocument(DataDirectory& directory, std::string_view fileName) {
    PathBuffer path;
    if (!directory.dataPath(fileName, path)) {
        clear();
        return false;
    }
    return readDocumentAt(directory.platform(), path.data());
}

bool SettingsDocument::readDocumentAt(Platform& platform, const char* path) {
    clear();
    std::size_t got = 0;
    if (!platform.readFile(path, buffer_.data(), kMaxReadBytes, got)) {
        clear();
        return false;
    }
    takeLength();
    return true;
}

bool SettingsDocument::readFactoryDocument(Platform& platform, int n) {
    clear();
    if (n < 0 || n > 9) return false;
    ResourceBytes bytes = platform.loadResource(kFactoryPresetType, kFactoryPresetFirstId + n);
    if (bytes.data == nullptr || bytes.size == 0 || bytes.size > kMaxReadBytes) return false;
    std::copy_n(bytes.data, bytes.size, buffer_.data());
    takeLength();
    return true;
}

void SettingsDocument::setText(std::string_view text) {
    clear();
    const std::size_t size = std::min(text.size(), kMaxReadBytes);
    std::copy_n(text.data(), size, buffer_.data());
    takeLength();
}

bool SettingsDocument::writeDocument(DataDirectory& directory) const {
    if (!fileNameValid_ || fileNameLength_ == 0) return false;
    PathBuffer path;
    if (!directory.dataPath(fileName(), path)) return false;
    directory.ensureExists();
    return directory.platform().writeFileAtomic(path.data(), buffer_.data(), length_);
}

bool SettingsDocument::appendLine(std::string_view key, std::string_view value) {
    if (!isValidKey(key) || length_ > kAppendLimit) return false;
    const std::size_t pad = key.size() < kValueColumn ? kValueColumn - key.size() : 1;
    const std::size_t lineLength = key.size() + pad + 3 + value.size() + kLineEnd.size();
    if (length_ + lineLength > kMaxReadBytes) return false;
    appendRaw(key);
    std::memset(buffer_.data() + length_, ' ', pad);
    length_ += pad;
    appendRaw(" = ");
    appendRaw(value);
    appendRaw(kLineEnd);
    return true;
}

bool SettingsDocument::appendNumber(std::string_view key, int decimals, double value) {
    // Fixed notation like printf "%.*f"; to_chars gives the same digits on
    // every platform and in every locale.
    char text[400];
    if (decimals < 0) decimals = 0;
    if (decimals > 20) decimals = 20;
    auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    if (result.ec != std::errc()) return false;
    return appendLine(key, std::string_view(text, static_cast<std::size_t>(result.ptr - text)));
}

bool SettingsDocument::appendText(std::string_view key, std::string_view text) {
    // The text ends at a NUL, as it would in a C string.
    const std::size_t nul = text.find('\0');
    if (nul != std::string_view::npos) text = text.substr(0, nul);
    return appendLine(key, text);
}

std::size_t SettingsDocument::findValue(std::string_view key) const {
    if (!isValidKey(key)) return std::string_view::npos;
    char pattern[kMaxKeyLength + 4];
    pattern[0] = '\r';
    pattern[1] = '\n';
    std::copy_n(key.data(), key.size(), pattern + 2);
    pattern[2 + key.size()] = ' ';
    const std::string_view text = this->text();
    const std::size_t match = text.find(std::string_view(pattern, key.size() + 3));
    if (match == std::string_view::npos) return std::string_view::npos;
    const std::size_t equals = text.find('=', match + key.size() + 3);
    if (equals == std::string_view::npos) return std::string_view::npos;
    // Past the "=" and the one space the writer puts after it; at or beyond
    // the end the value is empty.
    return std::min(equals + 2, text.size());
}

bool SettingsDocument::hasKey(std::string_view key) const {
    if (!isValidKey(key)) return false;
    char pattern[kMaxKeyLength + 4];
    pattern[0] = '\r';
    pattern[1] = '\n';
    std::copy_n(key.data(), key.size(), pattern + 2);
    pattern[2 + key.size()] = ' ';
    return text().find(std::string_view(pattern, key.size() + 3)) != std::string_view::npos;
}

double SettingsDocument::readNumber(std::string_view key, double fallback) const {
    const std::size_t start = findValue(key);
    if (start == std::string_view::npos) return fallback;
    float value = 0.0f;
    if (!parseSingle(text().substr(start), value)) return fallback;
    return static_cast<double>(value);
}

bool SettingsDocument::readText(std::string_view key, std::string_view& out) const {
    const std::size_t start = findValue(key);
    if (start == std::string_view::npos) return false;
    const std::size_t end = text().find('\r', start);
    if (end == std::string_view::npos || end - start > kMaxTextLength) return false;
    out = text().substr(start, end - start);
    return true;
}

void SettingsDocument::fillParameters(const ParameterTable& table, bool allKeys, std::span<char> presetName) const {
    if (!presetName.empty()) {
        std::string_view name;
        if (!readText("General.Name", name)) name = {};
        const std::size_t size = std::min(name.size(), presetName.size() - 1);
        std::copy_n(name.data(), size, presetName.data());
        presetName[size] = '\0';
    }
    table.forEachKeyed([&](const ParameterRecord& record) {
        if (record.kind == ControlKind::Meter) return;
        if (!allKeys && !hasKey(record.key)) return;
        record.assign(readNumber(record.key, record.defaultValue));
    });
}

void SettingsDocument::writeParameters(const ParameterTable& table) {
    table.forEachKeyed([&](const ParameterRecord& record) {
        if (record.kind == ControlKind::Meter) return;
        const int decimals = record.kind == ControlKind::Switch ? 0 : (record.decimals < 0 ? 0 : record.decimals);
        appendNumber(record.key, decimals, record.value());
    });
}

}  // namespace qx
