// ovstring.cpp - bounded string copy, append and formatting.
//
// The one family of string-building operations that every module uses to
// assemble paths, messages and lock records in fixed-size buffers. Each
// operation leaves the destination NUL-terminated, cuts text that does not fit
// at size - 1 without splitting a UTF-8 character, and reports the cut as
// EBUFFER so that a caller can tell a complete copy from a shortened one.
//
// Map of this file:
//   - UTF-8 cut repair (ov_utf8_trim_partial)
//   - bounded copy and append (ov_str_to, ov_strn_to, ov_str_copy, ov_str_cat,
//     ov_trimmed_str_to, ov_str_concat_to, ov_str_concat)
//   - formatting (ov_str_vprintf_to, ov_str_printf_to)
//   - growable heap buffers (the _alloc variants)
//   - URL recognisers and small utilities
//
// Validation, conversion and counting of UTF-8 text belong to the UTF-8 text
// operations, not here; this file only repairs the end of a cut.
#define OV_LOG_SOURCE "base/ovplatform/src/ovstring"

#include <ovplatform/overror.h>
#include <ovplatform/ovstring.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "internal/log.h"
#include "internal/raii.h"

namespace {

using namespace ov::detail;

constexpr size_t kNoLimit = SIZE_MAX;
constexpr size_t kFirstAllocSize = 1024;
constexpr int kConcatMaxPieces = 9;

bool is_continuation(unsigned char b) {
    return b >= 0x80 && b <= 0xBF;
}

// Length of the sequence that a lead byte (0xC0 and above) announces.
size_t utf8_sequence_length(unsigned char lead) {
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    if (lead < 0xF8) return 4;
    if (lead < 0xFC) return 5;
    return 6;
}

// Shared core of ov_str_to and ov_strn_to; name is the public operation that
// reports a failure.
int32_t str_to(const char *name, char *dst, const char *src, size_t limit, size_t size,
               size_t *pos_io) {
    size_t local_pos = 0;
    size_t &pos = pos_io != nullptr ? *pos_io : local_pos;

    if (dst == nullptr || src == nullptr || pos >= size) {
        // The message prints the source; it is bounded by the limit because an
        // ov_strn_to source need not be terminated.
        int shown = limit > 0x7fffffff ? 0x7fffffff : static_cast<int>(limit);
        OV_LOG(kLogInfo, "Warning: %s failure, args %p %p %zu %zu '%.*s'", name,
               static_cast<void *>(dst), static_cast<const void *>(src), size, pos,
               src != nullptr ? shown : 5, src != nullptr ? src : "(nil)");
        // Discard the whole assembled text, as a caller that ignores the result
        // must not use a half-built string. A zero-sized buffer has no byte 0.
        if (dst != nullptr && size > 0) dst[0] = '\0';
        return EINVAL;
    }

    size_t room = size - 1 - pos;
    size_t n = limit == kNoLimit ? std::strlen(src) : strnlen(src, limit);
    size_t count = n < room ? n : room;
    // memmove: the source may lie inside the destination (a caller shifting
    // text within its own buffer).
    std::memmove(dst + pos, src, count);
    pos += count;
    dst[pos] = '\0';
    if (n <= room) return 0;
    // The cut may have split a character; its result is informative only
    // (stray continuation bytes in the source are left as they are).
    (void)ov_utf8_trim_partial(dst, &pos);
    return EBUFFER;
}

bool is_space(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// Appends the pieces of a null-terminated argument list (at most nine, see
// ov_str_concat_to) at dst + *pos.
int32_t concat_to(char *dst, size_t size, size_t *pos_io, va_list args) {
    // Read the whole list first: more than nine pieces are refused before
    // anything is written. Reading stops at the first null, so a list that is
    // correctly terminated is never read past its end.
    const char *pieces[kConcatMaxPieces];
    int count = 0;
    for (;;) {
        const char *piece = va_arg(args, const char *);
        if (piece == nullptr) break;
        if (count == kConcatMaxPieces) return EINVAL;  // a tenth piece: no terminator
        pieces[count++] = piece;
    }
    size_t local_pos = 0;
    size_t *pos = pos_io != nullptr ? pos_io : &local_pos;
    for (int i = 0; i < count; ++i) {
        int32_t rc = ov_str_to(dst, pieces[i], size, pos);
        if (rc != 0) return rc;
    }
    return 0;
}

// The growth loop shared by the growable variants. attempt(buffer, size)
// runs the bounded operation once on the current buffer; on EBUFFER the
// buffer is doubled and the attempt repeated. The caller's variables are
// written only with a buffer that exists: on ENOMEM they keep the old buffer
// (holding the cut text) and its old size.
template <typename Attempt>
int32_t grow_until_fits(char **buffer_io, size_t *size_io, Attempt attempt) {
    char *buffer = *buffer_io;
    size_t size = *size_io;
    if (size == 0) {
        // 0 means the default size; a buffer the caller already has is given
        // that size too, so that it is never used beyond what it holds.
        size = kFirstAllocSize;
        auto *grown = static_cast<char *>(std::realloc(buffer, size));
        if (grown == nullptr) return ENOMEM;
        if (buffer == nullptr) grown[0] = '\0';
        buffer = grown;
        *buffer_io = buffer;
        *size_io = size;
    } else if (buffer == nullptr) {
        buffer = static_cast<char *>(std::malloc(size));
        if (buffer == nullptr) return ENOMEM;
        buffer[0] = '\0';
        *buffer_io = buffer;
    }
    for (;;) {
        int32_t rc = attempt(buffer, size);
        if (rc != EBUFFER) return rc;
        if (size > SIZE_MAX / 2) return ENOMEM;
        auto *grown = static_cast<char *>(std::realloc(buffer, size * 2));
        if (grown == nullptr) return ENOMEM;
        buffer = grown;
        size *= 2;
        *buffer_io = buffer;
        *size_io = size;
    }
}

// Shared core of ov_str_to_alloc and ov_strn_to_alloc.
int32_t str_to_alloc(const char *name, char **buffer, const char *src, size_t limit, size_t *size,
                     size_t *pos) {
    if (buffer == nullptr || src == nullptr || size == nullptr || pos == nullptr) return EINVAL;
    const size_t start = *pos;
    return grow_until_fits(buffer, size, [&](char *buf, size_t sz) {
        *pos = start;
        return str_to(name, buf, src, limit, sz, pos);
    });
}

template <int (*Convert)(int)>
char *convert_in_place(char *text) {
    if (text == nullptr) return nullptr;
    for (char *p = text; *p != '\0'; ++p)
        *p = static_cast<char>(Convert(static_cast<unsigned char>(*p)));
    return text;
}

template <int (*Convert)(int)>
char *convert_dup(const char *text) {
    if (text == nullptr) return nullptr;
    char *copy = strdup(text);
    return convert_in_place<Convert>(copy);
}

}  // namespace

extern "C" {

// ---- UTF-8 cut repair -------------------------------------------------------

int32_t ov_utf8_trim_partial(char *text, size_t *length) noexcept {
    if (text == nullptr) return EINVAL;
    size_t len = length != nullptr ? *length : std::strlen(text);
    if (len == 0) return 0;
    auto *bytes = reinterpret_cast<unsigned char *>(text);
    unsigned char last = bytes[len - 1];
    if (last < 0x80) return 0;
    size_t cut;
    if (last >= 0xC0) {
        // A lead byte as the last byte can never be complete.
        cut = len - 1;
    } else {
        size_t i = len - 1;
        for (;;) {
            if (i == 0) return EINVAL;  // continuation bytes at the very start
            --i;
            if (bytes[i] >= 0xC0) break;
            if (!is_continuation(bytes[i])) return EINVAL;  // ASCII before any lead byte
        }
        if (utf8_sequence_length(bytes[i]) == len - i) return 0;
        // Too short, or more continuation bytes than announced: drop it all.
        cut = i;
    }
    text[cut] = '\0';
    if (length != nullptr) *length = cut;
    return 0;
}

// ---- Bounded copy and append -------------------------------------------------

int32_t ov_str_to(char *dst, const char *src, size_t size, size_t *pos) noexcept {
    return str_to("ov_str_to", dst, src, kNoLimit, size, pos);
}

int32_t ov_strn_to(char *dst, const char *src, size_t limit, size_t size, size_t *pos) noexcept {
    return str_to("ov_strn_to", dst, src, limit, size, pos);
}

int32_t ov_str_escape_to(char *dst, const char *src, size_t size, size_t *pos) noexcept {
    size_t start = pos != nullptr ? *pos : 0;
    if (dst == nullptr || src == nullptr || start >= size) {
        if (dst != nullptr && size > 0) dst[0] = '\0';
        return EINVAL;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    size_t at = start;
    int32_t rc = 0;
    const auto *in = reinterpret_cast<const unsigned char *>(src);
    while (*in != '\0') {
        char piece[4];
        size_t length = 1;
        const unsigned char c = *in;
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            piece[0] = static_cast<char>(c);
        } else if (c == '\\' || c == '\n' || c == '\r' || c == '\t') {
            piece[0] = '\\';
            piece[1] = c == '\\' ? '\\' : c == '\n' ? 'n' : c == '\r' ? 'r' : 't';
            length = 2;
        } else {
            // A whole character from U+00A0 up is copied as it stands; the
            // C1 controls (0xC2 0x80 to 0xC2 0x9F) and broken bytes are not.
            const int32_t n = c < 0xc0 ? 1 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
            const bool c1 = c == 0xc2 && in[1] < 0xa0;
            if (c >= 0xc2 && !c1 &&
                ov_utf8_check(reinterpret_cast<const char *>(in), n, n) == nullptr) {
                if (at + n >= size) {
                    rc = EBUFFER;
                    break;
                }
                std::memcpy(dst + at, in, n);
                at += n;
                in += n;
                continue;
            }
            piece[0] = '\\';
            piece[1] = 'x';
            piece[2] = kHex[c >> 4];
            piece[3] = kHex[c & 0xf];
            length = 4;
        }
        if (at + length >= size) {
            rc = EBUFFER;
            break;
        }
        std::memcpy(dst + at, piece, length);
        at += length;
        ++in;
    }
    dst[at] = '\0';
    if (pos != nullptr) *pos = at;
    return rc;
}

int32_t ov_str_copy(char *dst, const char *src, size_t size) noexcept {
    return ov_str_to(dst, src, size, nullptr);
}

int32_t ov_str_cat(char *dst, const char *src, size_t size) noexcept {
    if (dst == nullptr || src == nullptr) return EINVAL;
    if (src[0] == '\0') return 0;
    // strnlen: a destination without a NUL inside its size is full, and must
    // not be read past its end.
    size_t len = strnlen(dst, size);
    if (len >= size) return EBUFFER;
    return ov_str_copy(dst + len, src, size - len);
}

int32_t ov_trimmed_str_to(char *dst, const char *src, size_t size, size_t *pos_io) noexcept {
    size_t local_pos = 0;
    size_t &pos = pos_io != nullptr ? *pos_io : local_pos;
    const char *start = src;
    if (start != nullptr) {
        while (is_space(*start)) ++start;
    }
    if (dst == nullptr || src == nullptr || pos >= size) {
        OV_LOG(kLogInfo, "ov_trimmed_str_to failure, args %p %p %zu %zu %p",
               static_cast<void *>(dst), static_cast<const void *>(start), size, pos,
               static_cast<const void *>(src));
        if (dst != nullptr && size > 0) dst[0] = '\0';
        return EINVAL;
    }

    size_t avail = size - pos;  // bytes free, terminator included
    size_t room = avail - 1;
    size_t n = strnlen(start, avail);
    if (n == avail) {
        // Longer than the room: it still fits if its trailing white space is
        // what makes it too long.
        n += std::strlen(start + n);
    }
    size_t trimmed = n;
    while (trimmed > 0 && is_space(start[trimmed - 1])) --trimmed;
    if (trimmed <= room) {
        std::memmove(dst + pos, start, trimmed);
        pos += trimmed;
        dst[pos] = '\0';
        return 0;
    }
    std::memmove(dst + pos, start, room);
    pos += room;
    dst[pos] = '\0';
    (void)ov_utf8_trim_partial(dst, &pos);
    return EBUFFER;
}

int32_t ov_str_concat_to(char *dst, size_t size, size_t *pos, ...) noexcept {
    va_list args;
    va_start(args, pos);
    int32_t rc = concat_to(dst, size, pos, args);
    va_end(args);
    return rc;
}

int32_t ov_str_concat(char *dst, size_t size, ...) noexcept {
    if (dst == nullptr) return EINVAL;
    size_t pos = strnlen(dst, size);
    va_list args;
    va_start(args, size);
    int32_t rc = concat_to(dst, size, &pos, args);
    va_end(args);
    return rc;
}

// ---- Formatting ------------------------------------------------------------

int32_t ov_str_vprintf_to(char *dst, size_t size, size_t *pos_io, const char *format,
                          va_list args) noexcept {
    size_t local_pos = 0;
    size_t &pos = pos_io != nullptr ? *pos_io : local_pos;
    if (dst == nullptr) return EINVAL;
    if (format == nullptr || pos >= size) {
        if (size > 0) dst[0] = '\0';
        return EINVAL;
    }

    const size_t avail = size - pos;  // bytes free, terminator included
    const size_t room = avail - 1;
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(dst + pos, avail, format, copy);
    va_end(copy);
    // Taken as unsigned, an encoding error (-1) never counts as fitting.
    if (static_cast<size_t>(n) < room) {
        pos += static_cast<size_t>(n);
        return 0;
    }

    // The text fills the room exactly, was cut, or could not be formatted.
    // vsnprintf cuts by bytes, possibly inside a UTF-8 character, so the text
    // is formatted a second time into a scratch buffer one byte longer than
    // the free space: a text that is longer than the room then shows as such,
    // and ov_str_to places it with the module's one cut rule.
    const size_t scratch_size = avail + 1;
    if (scratch_size == 0) return ENOMEM;  // no allocation can be that large
    std::unique_ptr<char[], FreeDeleter> scratch(static_cast<char *>(std::malloc(scratch_size)));
    // On failure the destination keeps vsnprintf's own cut text; the position
    // is not moved, as that text is not known to end on a character boundary.
    if (scratch == nullptr) return ENOMEM;
    const int again = std::vsnprintf(scratch.get(), scratch_size, format, args);
    if (again < 0) {
        // An encoding error (EILSEQ) or a text longer than INT_MAX (EOVERFLOW).
        // A failure must never read as success, hence the fallback.
        const int err = errno;
        dst[pos] = '\0';
        return err != 0 ? err : EINVAL;
    }
    if (static_cast<size_t>(again) == room) {
        // An exact fit: the first pass already wrote the whole text.
        pos += room;
        return 0;
    }
    scratch[avail] = '\0';
    return ov_str_to(dst, scratch.get(), size, &pos);
}

int32_t ov_str_printf_to(char *dst, size_t size, size_t *pos, const char *format, ...) noexcept {
    va_list args;
    va_start(args, format);
    int32_t rc = ov_str_vprintf_to(dst, size, pos, format, args);
    va_end(args);
    return rc;
}

// ---- Growable buffers ------------------------------------------------------------

int32_t ov_str_to_alloc(char **buffer, const char *src, size_t *size, size_t *pos) noexcept {
    return str_to_alloc("ov_str_to", buffer, src, kNoLimit, size, pos);
}

int32_t ov_strn_to_alloc(char **buffer, const char *src, size_t limit, size_t *size,
                         size_t *pos) noexcept {
    return str_to_alloc("ov_strn_to", buffer, src, limit, size, pos);
}

int32_t ov_str_cat_alloc(char **buffer, const char *src, size_t *size) noexcept {
    if (buffer == nullptr || src == nullptr || size == nullptr) return EINVAL;
    // The current text is measured once; each attempt first removes what an
    // earlier, cut attempt appended.
    const size_t len = *buffer != nullptr ? strnlen(*buffer, *size) : 0;
    return grow_until_fits(buffer, size, [&](char *buf, size_t sz) {
        if (len < sz) buf[len] = '\0';
        return ov_str_cat(buf, src, sz);
    });
}

int32_t ov_str_vprintf_alloc(char **buffer, size_t *size, size_t *pos, const char *format,
                             va_list args) noexcept {
    if (buffer == nullptr || size == nullptr || pos == nullptr || format == nullptr) return EINVAL;
    const size_t start = *pos;
    return grow_until_fits(buffer, size, [&](char *buf, size_t sz) {
        *pos = start;
        // Each attempt consumes its own copy of the arguments.
        va_list copy;
        va_copy(copy, args);
        int32_t rc = ov_str_vprintf_to(buf, sz, pos, format, copy);
        va_end(copy);
        return rc;
    });
}

int32_t ov_str_printf_alloc(char **buffer, size_t *size, size_t *pos, const char *format,
                            ...) noexcept {
    va_list args;
    va_start(args, format);
    int32_t rc = ov_str_vprintf_alloc(buffer, size, pos, format, args);
    va_end(args);
    return rc;
}

// ---- Recognisers -------------------------------------------------------------

int ov_str_is_scheme(const char *text, size_t length) noexcept {
    if (text == nullptr || length == 0) return 0;
    if (!std::isalpha(static_cast<unsigned char>(text[0]))) return 0;
    for (size_t i = 1; i < length; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return 0;
    }
    return 1;
}

int ov_str_is_scheme_str(const char *text) noexcept {
    return text != nullptr ? ov_str_is_scheme(text, std::strlen(text)) : 0;
}

int ov_str_is_url(const char *text) noexcept {
    if (text == nullptr) return 0;
    const char *colon = std::strchr(text, ':');
    // A one-letter scheme is a drive letter ("c:/x"), not a URL.
    if (colon == nullptr || colon - text < 2) return 0;
    if (std::strchr(text, '/') != colon + 1 || colon[2] != '/') return 0;
    return ov_str_is_scheme(text, static_cast<size_t>(colon - text));
}

// ---- Small utilities ---------------------------------------------------------

size_t ov_strnlen(const char *text, size_t limit) noexcept {
    return text != nullptr ? strnlen(text, limit) : 0;
}

char *ov_str_ndup(const char *text, size_t limit) noexcept {
    if (text == nullptr) {
        OV_LOG(kLogError, "ov_str_ndup() called with null string");
        return nullptr;
    }
    return strndup(text, limit);
}

size_t ov_str_span(const char *data, size_t length, const char *set) noexcept {
    if (data == nullptr || set == nullptr) return 0;
    size_t i = 0;
    // strchr finds the set's own terminator for a NUL byte, so a NUL in the
    // data counts as a member of every set.
    while (i < length && std::strchr(set, data[i]) != nullptr) ++i;
    return i;
}

char *ov_str_tolower_dup(const char *text) noexcept {
    return convert_dup<std::tolower>(text);
}
char *ov_str_toupper_dup(const char *text) noexcept {
    return convert_dup<std::toupper>(text);
}
char *ov_str_tolower(char *text) noexcept {
    return convert_in_place<std::tolower>(text);
}
char *ov_str_toupper(char *text) noexcept {
    return convert_in_place<std::toupper>(text);
}

int ov_str_ends_with(const char *text, const char *suffix) noexcept {
    if (text == nullptr || suffix == nullptr) return 1;
    size_t n = std::strlen(text);
    size_t m = std::strlen(suffix);
    return m <= n && std::memcmp(text + n - m, suffix, m) == 0 ? 0 : 1;
}

char *ov_strtok_r(char *text, const char *delimiters, char **save) noexcept {
    return strtok_r(text, delimiters, save);
}

size_t ov_str_count_char(const char *text, char c) noexcept {
    if (text == nullptr) return 0;
    size_t count = 0;
    for (const char *p = text; *p != '\0'; ++p)
        if (*p == c) ++count;
    return count;
}

void ov_str_replace_char(char *text, char from, char to) noexcept {
    if (text == nullptr) return;
    for (char *p = text; *p != '\0'; ++p)
        if (*p == from) *p = to;
}

void ov_str_array_free(char **array) noexcept {
    if (array == nullptr) return;
    std::free(array[0]);
    std::free(array);
}

}  // extern "C"
