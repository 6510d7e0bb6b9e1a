// ovtool.h - start-up and printing helpers that both lock tools share.
#pragma once

#include <ovplatform/ovstring.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace ovtool {

// Started with standard input, output or error closed, a tool would hand
// their numbers to the first files it opens (a lock file, the debug log),
// and what it prints for the terminal would land in them. Each closed one
// is opened on /dev/null before anything else; a tool that cannot do even
// that ends with exit_code.
inline void open_standard_streams(int exit_code) {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        const int opened = open("/dev/null", O_RDWR);
        if (opened != fd) {
            // Never keep a descriptor under another number than the one it
            // was to fill.
            if (opened >= 0) close(opened);
            std::_Exit(exit_code);
        }
    }
}

// Text that came from a file or from the command line, as it is printed:
// unchanged when every byte is printable text, otherwise spelled out by
// ov_str_escape_to into out (size bytes, four times the text's length is
// always enough). A backslash alone changes nothing, so that every ordinary
// name and record prints exactly as it was given; once anything else needs
// spelling out, backslashes are doubled too, and the result reads back
// without doubt.
inline const char *shown(const char *text, char *out, size_t size) {
    size_t length = 0;
    ov_str_escape_to(out, text, size, &length);
    size_t backslashes = 0;
    for (const char *p = text; *p != '\0'; ++p) backslashes += *p == '\\';
    return length == std::strlen(text) + backslashes ? text : out;
}

}  // namespace ovtool
