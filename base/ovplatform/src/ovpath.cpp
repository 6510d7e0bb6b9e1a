// ovpath.cpp - the lexical canonical form of paths and its companions.
//
// Every module that compares, stores or derives paths brings them into one
// canonical form first: separators unified, runs of '/' collapsed, "." and
// ".." applied, no trailing '/'. The form is purely textual; the file system
// is never consulted and symbolic links are not resolved. Besides the POSIX
// root it knows drive roots ("D:/") and network roots ("//server/share/"),
// and it passes URLs through unchanged. Around it sit the parent, join and
// builder operations, the relative/absolute and portability tests, and the
// repair of names for stricter file systems. What the running system tells
// about paths (the program's own path, PATH searches, home directories, exec)
// is in ovpath_env.cpp, and the directories of an installation are in
// ovpath_install.cpp.
//
// The canonical form allocates nothing: one pass over the text with a fixed
// stack of component starts, all work buffers on the stack.
//
// Divisions: character classes, prefixes and the canonical form proper; the
// canonical form, parent, builder and join of the C API; tests and repairs
// of path texts.
#include <ovplatform/overror.h>
#include <ovplatform/ovpath.h>
#include <ovplatform/ovstring.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#define OV_LOG_SOURCE "base/ovplatform/src/ovpath"
#include "internal/limits.h"
#include "internal/log.h"

namespace {

using namespace ov::detail;

// The parent's work buffer holds a full path plus the appended "/..", whose
// NUL sizeof counts.
constexpr size_t kParentWorkSize = kPathSize + sizeof "/..";
// A byte more than a path buffer, so that a formatted text just over the
// limit is still formatted whole before its length refuses it.
constexpr size_t kBuildWorkSize = kPathSize + 1;
// "/a/" or "/b/" in front of a text of up to kPathSize - 1 bytes, and its NUL.
constexpr size_t kEscapeWorkSize = sizeof "/a/" - 1 + kPathSize;
// One entry per written component; the output holds at most kPathSize - 1
// bytes and every component after the first needs a '/' and one byte.
constexpr size_t kMaxComponents = kPathSize / 2;

constexpr char kProductScheme[] = "vlxp://";

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool is_separator(char c) {
    return c == '/' || c == '\\';
}

// URLs and the product's own transfer scheme are passed through untouched.
bool is_url(const char *text) {
    return std::strncmp(text, kProductScheme, sizeof kProductScheme - 1) == 0 ||
           ov_str_is_url(text) != 0;
}

// A network prefix: "//", a third and a fourth character, and a separator
// at or after the fourth. Either separator counts, so that the test works
// before and after backslashes are turned into slashes.
bool has_unc_prefix(const char *text) {
    if (!is_separator(text[0]) || !is_separator(text[1]) || text[2] == '\0' || text[3] == '\0')
        return false;
    for (const char *p = text + 3; *p != '\0'; ++p)
        if (is_separator(*p)) return true;
    return false;
}

// Offset of the drive letter of a drive prefix ("D:" after optional white
// space), or -1 when the text has none.
long drive_letter_at(const char *text) {
    size_t i = 0;
    while (is_space(text[i])) ++i;
    if (is_letter(text[i]) && text[i + 1] == ':') return static_cast<long>(i);
    return -1;
}

bool has_line_break(const char *text) {
    return std::strpbrk(text, "\n\r") != nullptr;
}

// Bytes that the stricter file systems refuse anywhere in a name. Bytes
// from 0x80 up count as control bytes here (they are negative as signed
// characters), which keeps names to plain ASCII.
bool is_forbidden_byte(char c) {
    if (static_cast<signed char>(c) < 0x20) return true;
    return std::strchr("\"*:<>?\\|", c) != nullptr;
}

// Index of the first byte after the prefixes that the portability rules
// leave alone: leading "./" and "../", then "//?/", then a drive prefix.
// Sets *dot_only when what remains after the relative prefixes is "." or
// ".." or nothing, which needs no further test.
size_t skip_portable_prefixes(const char *text, bool *dot_only) {
    size_t i = 0;
    for (;;) {
        if (std::strncmp(text + i, "./", 2) == 0) {
            i += 2;
        } else if (std::strncmp(text + i, "../", 3) == 0) {
            i += 3;
        } else {
            break;
        }
    }
    const char *rest = text + i;
    *dot_only = rest[0] == '\0' || std::strcmp(rest, ".") == 0 || std::strcmp(rest, "..") == 0;
    if (std::strncmp(rest, "//?/", 4) == 0) i += 4;
    if (is_letter(text[i]) && text[i + 1] == ':') i += 2;
    return i;
}

// The canonical form proper; in, out and size are checked by the caller and
// in has already been copied out of the way of out.
int canonicalize(char *text, size_t length, char *out, size_t size) {
    // memchr finds the rare backslash many bytes at a time; a byte loop
    // here cost more than the rest of the pass.
    const char *end = text + length;
    for (char *p = text; (p = static_cast<char *>(std::memchr(p, '\\', end - p))) != nullptr;)
        *p++ = '/';

    const size_t limit = size - 1;
    size_t pos = 0;
    size_t rest = 0;

    // The root: the part of the output that ".." never removes.
    long drive = -1;
    if (has_unc_prefix(text)) {
        size_t i = 0;
        while (text[i] == '/') ++i;
        size_t server = i;
        while (text[i] != '\0' && text[i] != '/') ++i;
        size_t server_end = i;
        while (text[i] == '/') ++i;
        // A server without a share is no usable network root.
        if (text[i] == '\0') return -1;
        size_t share = i;
        while (text[i] != '\0' && text[i] != '/') ++i;
        size_t share_end = i;
        rest = text[i] == '/' ? i + 1 : i;
        size_t root_length = 2 + (server_end - server) + 1 + (share_end - share) + 1;
        if (root_length > limit) return -1;
        out[pos++] = '/';
        out[pos++] = '/';
        std::memcpy(out + pos, text + server, server_end - server);
        pos += server_end - server;
        out[pos++] = '/';
        std::memcpy(out + pos, text + share, share_end - share);
        pos += share_end - share;
        out[pos++] = '/';
    } else if ((drive = drive_letter_at(text)) >= 0) {
        // White space before a drive letter is dropped: " D:x" names the
        // same place as "D:x".
        if (limit < 3) return -1;
        out[pos++] = text[drive];
        out[pos++] = ':';
        out[pos++] = '/';
        rest = static_cast<size_t>(drive) + 2;
    } else if (text[0] == '/') {
        out[pos++] = '/';
        rest = 1;
    }
    const size_t root_length = pos;

    size_t starts[kMaxComponents];
    size_t depth = 0;
    // Leading ".." components of a relative path stay for good; they sit at
    // the bottom of the stack and are never popped.
    size_t kept = 0;

    size_t i = rest;
    for (;;) {
        while (text[i] == '/') ++i;
        if (i >= length) break;
        // The output is full but input is left: whatever that input is, the
        // result cannot be trusted to be complete.
        if (pos >= limit) return -1;
        size_t begin = i;
        const void *slash = std::memchr(text + i, '/', length - i);
        i = slash != nullptr ? static_cast<size_t>(static_cast<const char *>(slash) - text)
                             : length;
        size_t component = i - begin;
        const char *name = text + begin;
        if (component == 1 && name[0] == '.') continue;
        bool dotdot = component == 2 && name[0] == '.' && name[1] == '.';
        if (dotdot && depth > kept) {
            pos = starts[--depth];
            continue;
        }
        if (dotdot && root_length > 0) continue;
        size_t separator = pos > root_length ? 1 : 0;
        if (pos + separator + component > limit || depth == kMaxComponents) return -1;
        starts[depth++] = pos;
        if (dotdot) ++kept;
        if (separator) out[pos++] = '/';
        std::memcpy(out + pos, name, component);
        pos += component;
    }

    if (pos == 0) out[pos++] = '.';
    out[pos] = '\0';
    // A relative result whose first name looks like a drive prefix ("x:"
    // from "./x:") would be read as a drive root the next time round; a
    // leading "./" keeps it the relative name it is.
    if (root_length == 0 && drive_letter_at(out) >= 0) {
        if (pos + 2 > limit) return -1;
        std::memmove(out + 2, out, pos + 1);
        out[0] = '.';
        out[1] = '/';
    }
    return 0;
}

// The test shared by ov_path_is_absolute and ov_path_is_rooted: EINVAL for
// what neither accepts, with the flag already cleared.
int32_t check_flag_path(const char *path, int32_t *flag) {
    if (flag == nullptr) return EINVAL;
    *flag = 0;
    if (path == nullptr || path[0] == '\0' || has_line_break(path)) return EINVAL;
    return 0;
}

}  // namespace

extern "C" {

// ---- The canonical form, parent, builder and join ------------------------------------

int ov_path_canonical(const char *in, char *out, size_t size) noexcept {
    // With no room for even a NUL there is nothing sensible to report but
    // a failure, whatever the input.
    if (out == nullptr || size == 0) return -1;
    if (in == nullptr || in[0] == '\0') {
        out[0] = '\0';
        return 0;
    }
    if (std::strchr(in, '\n') != nullptr) {
        out[0] = '\0';
        return -1;
    }
    if (is_url(in)) {
        // A URL's path may hold "//" and ".." that mean something to its
        // server; it is handed on as it stands, cut if it must be.
        (void)ov_str_copy(out, in, size);
        return 0;
    }
    const size_t work_size = size < kPathSize ? size : kPathSize;
    const size_t length = strnlen(in, work_size);
    if (length >= work_size) {
        out[0] = '\0';
        return -1;
    }
    // The input is copied first, so that in and out may be one buffer.
    char work[kPathSize];
    std::memcpy(work, in, length + 1);
    if (canonicalize(work, length, out, size) != 0) {
        out[0] = '\0';
        return -1;
    }
    return 0;
}

int ov_path_parent(const char *path, char *out, size_t size) noexcept {
    if (path == nullptr || path[0] == '\0' || strnlen(path, kPathSize) >= kPathSize) return -1;
    // The ".." goes after the canonical form, not after the raw text: a
    // separator appended to the raw text can complete a network root that
    // the path does not have ("//srv" is "/srv", but "//srv/.." would read
    // as share ".." on server "srv").
    char work[kParentWorkSize];
    if (ov_path_canonical(path, work, kPathSize) != 0) return -1;
    size_t length = std::strlen(work);
    const char *suffix = work[length - 1] == '/' ? ".." : "/..";
    size_t suffix_length = std::strlen(suffix);
    if (length + suffix_length + 1 > kParentWorkSize) return -1;
    std::memcpy(work + length, suffix, suffix_length + 1);
    if (ov_path_canonical(work, out, size) != 0) return -1;
    return static_cast<int>(std::strlen(out));
}

char *ov_path_build_canonical_path(char *out, size_t size, int32_t *error, const char *format,
                                   ...) noexcept {
    int32_t ignored = 0;
    if (error == nullptr) error = &ignored;
    if (out == nullptr) {
        *error = EINVAL;
        OV_LOG(kLogError, "ov_path_build_canonical_path: Null buffer");
        return nullptr;
    }
    if (format == nullptr) {
        *error = EINVAL;
        return nullptr;
    }
    char work[kBuildWorkSize];
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(work, sizeof work, format, args);
    va_end(args);
    if (length < 0) {
        *error = EINVAL;
        return nullptr;
    }
    if (static_cast<size_t>(length) > kPathSize - 1) {
        *error = ERANGE;
        return nullptr;
    }
    if (ov_path_canonical(work, out, size) != 0) {
        *error = EINVAL;
        return nullptr;
    }
    *error = 0;
    return out;
}

int ov_path_join_ex(const char *dir, const char *name, char *out, size_t size, int strip) noexcept {
    if (dir == nullptr || name == nullptr || out == nullptr || size == 0) return -1;
    const size_t dir_length = std::strlen(dir);
    if (size < dir_length + 1) return -1;
    if (dir_length == 0) return ov_path_canonical(name, out, size);
    const int relative = ov_path_is_relative(name);
    if (std::strcmp(dir, ".") == 0 && relative) return ov_path_canonical(name, out, size);
    if (std::strcmp(dir, "/") == 0 && !relative) return ov_path_canonical(name, out, size);

    // The name must survive the directory being written over it.
    char work[kPathSize];
    if (name >= out && name < out + size) {
        if (ov_str_copy(work, name, sizeof work) != 0) return -1;
        name = work;
    }
    size_t pos = dir_length;
    if (out != dir) std::memmove(out, dir, dir_length);
    if (dir[dir_length - 1] != '/') {
        if (size < dir_length + 2) return -1;
        out[pos++] = '/';
    }
    out[pos] = '\0';
    if (strip)
        while (*name == '/') ++name;
    if (ov_str_to(out, name, size, &pos) != 0) return -1;
    return ov_path_canonical(out, out, size);
}

int ov_path_join(const char *dir, const char *name, char *out, size_t size) noexcept {
    return ov_path_join_ex(dir, name, out, size, 1);
}

// ---- Tests and repairs of path texts --------------------------------------------------

int ov_path_is_relative(const char *path) noexcept {
    if (path == nullptr) return 1;
    if (is_url(path)) return 0;
    const char *p = path;
    while (is_space(*p)) ++p;
    if (*p == '\0') return 1;
    if (is_separator(*p)) return 0;
    // "D:x" is relative to the current directory of drive D.
    if (is_letter(p[0]) && p[1] == ':') return is_separator(p[2]) ? 0 : 1;
    return 1;
}

const char *ov_path_next_separator(const char *path) noexcept {
    if (path == nullptr) return nullptr;
    while (*path == '/') ++path;
    return std::strchr(path, '/');
}

int ov_path_escapes(const char *rel) noexcept {
    // What cannot be brought to the canonical form cannot be shown to stay
    // inside; it is treated as leading out.
    if (rel == nullptr) return 1;
    // The text is placed under two different directories: a text that stays
    // inside keeps each directory's name, and one that leaves cannot land
    // on both names at once.
    static constexpr char kBases[] = {'a', 'b'};
    for (char base : kBases) {
        char work[kEscapeWorkSize];
        int length = std::snprintf(work, sizeof work, "/%c/%s", base, rel);
        if (length < 0 || static_cast<size_t>(length) >= sizeof work) return 1;
        char canonical[kEscapeWorkSize];
        if (ov_path_canonical(work, canonical, sizeof canonical) != 0) return 1;
        if (canonical[1] != base) return 1;
    }
    return 0;
}

int ov_path_has_dotdot(const char *path) noexcept {
    if (path == nullptr) return 0;
    for (const char *p = path; (p = std::strstr(p, "..")) != nullptr; ++p) {
        bool starts = p == path || p[-1] == '/';
        bool ends = p[2] == '\0' || p[2] == '/';
        if (starts && ends) return 1;
    }
    return 0;
}

int32_t ov_path_force_absolute(char *path, size_t size) noexcept {
    if (path == nullptr) return EINVAL;
    size_t skip = 0;
    while (is_space(path[skip])) ++skip;
    char *text = path + skip;
    size_t length = std::strlen(text);
    for (size_t i = 0; i < length; ++i)
        if (text[i] == '\\') text[i] = '/';
    if (is_letter(text[0]) && text[1] == ':') {
        if (text[2] != '/') return EINVAL;
        std::memmove(path, text, length + 1);
        return 0;
    }
    if (text[0] == '/') {
        std::memmove(path, text, length + 1);
        return 0;
    }
    if (length + 1 >= size) return EPATHMAX;
    std::memmove(path + 1, text, length + 1);
    path[0] = '/';
    return 0;
}

size_t ov_path_collapse_slashes(char *path, size_t length) noexcept {
    if (path == nullptr) return 0;
    size_t read = 0;
    size_t write = 0;
    // A leading "//" may be a network root and keeps both slashes.
    if (length >= 2 && path[0] == '/' && path[1] == '/') {
        write = 2;
        read = 2;
        while (read < length && path[read] == '/') ++read;
    }
    for (; read < length && path[read] != '\0'; ++read) {
        if (path[read] == '/' && write > 0 && path[write - 1] == '/') continue;
        path[write++] = path[read];
    }
    path[write] = '\0';
    return write;
}

int ov_path_copy_trimmed(const char *path, char *out, size_t size) noexcept {
    if (path == nullptr || out == nullptr || size == 0) return -1;
    if (ov_str_copy(out, path, size) != 0) return -1;
    size_t length = std::strlen(out);
    while (length > 0 && out[length - 1] == '/') --length;
    out[length] = '\0';
    return static_cast<int>(length);
}

int32_t ov_path_is_absolute(const char *path, int32_t *flag) noexcept {
    int32_t rc = check_flag_path(path, flag);
    if (rc != 0) return rc;
    if (is_url(path) || has_unc_prefix(path) || drive_letter_at(path) >= 0 || path[0] == '/')
        *flag = 1;
    return 0;
}

int32_t ov_path_is_rooted(const char *path, int32_t *flag) noexcept {
    int32_t rc = check_flag_path(path, flag);
    if (rc != 0) return rc;
    if (path[0] == '/' && path[1] != '/') *flag = 1;
    return 0;
}

int32_t ov_path_is_canonical(const char *path, int32_t *flag) noexcept {
    if (flag == nullptr) return EINVAL;
    *flag = 0;
    if (path == nullptr) return EINVAL;
    char canonical[kPathSize];
    if (ov_path_canonical(path, canonical, sizeof canonical) != 0) return EINVAL;
    if (std::strcmp(path, canonical) == 0) *flag = 1;
    return 0;
}

int32_t ov_path_is_canonical_absolute(const char *path, int32_t *flag) noexcept {
    int32_t rc = ov_path_is_canonical(path, flag);
    if (rc != 0 || *flag == 0) return rc;
    return ov_path_is_absolute(path, flag);
}

int32_t ov_path_is_canonical_rooted(const char *path, int32_t *flag) noexcept {
    int32_t rc = ov_path_is_canonical(path, flag);
    if (rc != 0 || *flag == 0) return rc;
    return ov_path_is_rooted(path, flag);
}

int32_t ov_path_is_plain_name(const char *path, int32_t *flag) noexcept {
    if (flag == nullptr) return EINVAL;
    *flag = 0;
    if (path == nullptr || path[0] == '\0') return EINVAL;
    if (std::strpbrk(path, "\n\r\\/") != nullptr) return 0;
    if (std::strcmp(path, ".") == 0 || std::strcmp(path, "..") == 0) return 0;
    *flag = 1;
    return 0;
}

int32_t ov_path_is_url(const char *path, int32_t *flag) noexcept {
    if (flag == nullptr) return EINVAL;
    *flag = 0;
    if (path == nullptr || path[0] == '\0' || std::strpbrk(path, "\n\r\\") != nullptr)
        return EINVAL;
    if (is_url(path)) *flag = 1;
    return 0;
}

int32_t ov_path_is_portable(const char *path, int32_t *flag) noexcept {
    if (flag == nullptr) return EINVAL;
    *flag = 0;
    if (path == nullptr || path[0] == '\0' || has_line_break(path)) return EINVAL;
    bool dot_only = false;
    size_t i = skip_portable_prefixes(path, &dot_only);
    if (dot_only) {
        *flag = 1;
        return 0;
    }
    const char *rest = path + i;
    bool spaces_only = true;
    size_t component = 0;
    for (size_t j = 0;; ++j) {
        char c = rest[j];
        if (c == '/' || c == '\0') {
            if (j > 0) {
                char last = rest[j - 1];
                if (last == '.' || last == ' ') return 0;
            }
            if (component > 0 && spaces_only) return 0;
            if (c == '\0') break;
            spaces_only = true;
            component = 0;
            continue;
        }
        if (is_forbidden_byte(c)) return 0;
        if (c != ' ') spaces_only = false;
        ++component;
    }
    *flag = 1;
    return 0;
}

int32_t ov_path_sanitize(const char *in, char *out, size_t size, char ch) noexcept {
    if (out == nullptr || size == 0) return EINVAL;
    if (in == nullptr || in[0] == '\0') {
        out[0] = '\0';
        return 0;
    }
    if (has_line_break(in)) return EINVAL;
    if (ov_str_copy(out, in, size) != 0) return EINVAL;
    if (ch == 0) return 0;
    // '.' and ' ' are refused like the forbidden bytes: put at the end of a
    // component they would make the very fault they are meant to repair.
    if (ch == '/' || is_forbidden_byte(ch) || ch == ' ' || ch == '.') return EINVAL;

    bool dot_only = false;
    size_t i = skip_portable_prefixes(out, &dot_only);
    if (dot_only) return 0;
    char *rest = out + i;
    size_t length = std::strlen(rest);
    size_t component = 0;
    for (size_t j = 0; j <= length; ++j) {
        char c = rest[j];
        if (c == '/' || c == '\0') {
            bool spaces_only = j > component;
            for (size_t k = component; k < j; ++k) spaces_only = spaces_only && rest[k] == ' ';
            if (spaces_only) {
                for (size_t k = component; k < j; ++k) rest[k] = ch;
            } else if (j > 0 && (rest[j - 1] == '.' || rest[j - 1] == ' ')) {
                rest[j - 1] = ch;
            }
            component = j + 1;
            continue;
        }
        if (is_forbidden_byte(c)) rest[j] = ch;
    }
    return 0;
}

}  // extern "C"
