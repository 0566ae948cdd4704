#include "platform/platform.h"

namespace qx {

namespace {
char fold(char c, bool ignoreCase) {
    if (ignoreCase && c >= 'A' && c <= 'Z') return static_cast<char>(c - 'A' + 'a');
    return c;
}
}  // namespace

bool wildcardMatch(const char* pattern, const char* name, bool ignoreCase) {
    // Greedy match with one backtrack point: linear in practice, no recursion.
    const char* starPattern = nullptr;
    const char* starName = nullptr;
    while (*name != '\0') {
        if (*pattern == '*') {
            starPattern = ++pattern;
            starName = name;
        } else if (*pattern != '\0' && (*pattern == '?' || fold(*pattern, ignoreCase) == fold(*name, ignoreCase))) {
            ++pattern;
            ++name;
        } else if (starPattern != nullptr) {
            pattern = starPattern;
            name = ++starName;
        } else {
            return false;
        }
    }
    while (*pattern == '*') ++pattern;
    return *pattern == '\0';
}

}  // namespace qx
