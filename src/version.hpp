// The check of the running interpreter's version against the one the module
// was built for. Plain C++, so it can be tested without an interpreter.
#pragma once

#include <cstddef>

namespace setup_module {

// built is a "major.minor" text of at most four characters; running is what
// Py_GetVersion() returns ("3.8.18 (default, ...)"). They match when running
// starts with built and the next character does not extend the minor number,
// however many digits the built minor has: a built 3.10 is no 3.100.
inline bool version_matches(const char *built, const char *running) {
    std::size_t i = 0;
    for (; built[i] != '\0'; ++i) {
        if (running[i] != built[i]) {
            return false;
        }
    }
    return running[i] < '0' || running[i] > '9';
}

// The "major.minor" prefix of a running version, at most four characters:
// digits and the first dot; a second dot or any other character ends it.
// out must hold five characters.
inline void short_version(const char *running, char *out) {
    bool seen_dot = false;
    std::size_t i = 0;
    for (; i < 4; ++i) {
        const char c = running[i];
        if (c == '.') {
            if (seen_dot) {
                break;
            }
            seen_dot = true;
        } else if (c < '0' || c > '9') {
            break;
        }
        out[i] = c;
    }
    out[i] = '\0';
}

}  // namespace setup_module
