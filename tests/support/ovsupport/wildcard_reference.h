// wildcard_reference.h - the wildcard rules written as the plain recursion,
// which tries every place for every star: the reference that the library's
// matcher (which goes back only to the most recent star) is compared with,
// in the tests and the fuzzer. Its time grows exponentially with the number
// of stars, so it serves short patterns only.
#pragma once

namespace ovsupport::wildcard {

// "*" any run, "?" any byte, a backslash makes the next pattern byte
// ordinary; at the end of the text the rest of the pattern must be exactly
// one "*"; a star that is not last tries the rest of the pattern at every
// place up to the text's last byte. 0 for a match, 1 otherwise, as the
// library answers.
inline int match(const char *p, const char *t) {
    for (;;) {
        if (*p == '\0') return *t == '\0' ? 0 : 1;
        if (*t == '\0') return p[0] == '*' && p[1] == '\0' ? 0 : 1;
        if (*p == '*') {
            if (p[1] == '\0') return 0;
            for (; *t != '\0'; ++t)
                if (match(p + 1, t) == 0) return 0;
            return 1;
        }
        if (*p != '?') {
            if (*p == '\\') ++p;
            if (*p != *t) return 1;
        }
        ++p;
        ++t;
    }
}

}  // namespace ovsupport::wildcard
