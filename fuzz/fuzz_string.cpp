// fuzz_string.cpp - libFuzzer target for the bounded string operations.
//
// Each input drives a few calls of the copy, append, trim and format family
// (ov_str_to, ov_strn_to, ov_str_copy, ov_str_cat, ov_trimmed_str_to,
// ov_str_printf_to, ov_str_concat_to) and of ov_utf8_trim_partial. Every
// destination is a heap block of exactly the fuzzed size and every source a
// block of exactly its own length, so AddressSanitizer reports any byte read
// or written beyond them. After each call the target aborts unless:
//   - the destination holds a NUL within its size;
//   - after 0 or EBUFFER the position is the index of that NUL;
//   - when the text already assembled and the source are valid UTF-8, the
//     result is valid UTF-8 and equals what a small model of the operation
//     predicts: the source, cut at the last character boundary that fits.
#include <ovplatform/overror.h>
#include <ovplatform/ovstring.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_util.h"
#include "ovsupport/utf_reference.h"

namespace {

using ovfuzz::c_string;

namespace utf = ovsupport::utf;

bool is_continuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The model of every cut: the longest prefix of valid UTF-8 text that has at
// most room bytes and ends on a character boundary.
std::string_view cut(std::string_view s, size_t room) {
    if (s.size() <= room) return s;
    size_t n = room;
    while (n > 0 && is_continuation(s[n])) --n;
    return s.substr(0, n);
}

// Appends one valid character of at most max (>= 1) bytes, never NUL.
void append_char(FuzzedDataProvider &in, std::string &out, size_t max) {
    // The first and last scalar value of each length.
    static constexpr uint32_t kFirst[] = {0, 1, 0x80, 0x800, 0x10000};
    static constexpr uint32_t kLast[] = {0, 0x7F, 0x7FF, 0xFFFF, 0x10FFFF};
    size_t len = in.ConsumeIntegralInRange<size_t>(1, 4);
    if (len > max) len = max;
    uint32_t cp = in.ConsumeIntegralInRange<uint32_t>(kFirst[len], kLast[len]);
    if (cp >= 0xD800 && cp <= 0xDFFF) cp += 0x800;  // skip the surrogates
    utf::append_utf8(out, cp);
}

// Valid UTF-8 text of exactly length bytes.
std::string valid_text(FuzzedDataProvider &in, size_t length) {
    std::string out;
    while (out.size() < length) append_char(in, out, length - out.size());
    return out;
}

// A source string without NUL bytes: either raw fuzzed bytes or text built
// from valid characters, so that the model is exercised on both.
struct Source {
    std::string bytes;
    bool valid;
};

Source make_source(FuzzedDataProvider &in) {
    Source s;
    if (in.ConsumeBool()) {
        s.bytes = in.ConsumeRandomLengthString(80);
        s.bytes.resize(strnlen(s.bytes.data(), s.bytes.size()));
        s.valid = utf::valid(s.bytes);
    } else {
        s.bytes = valid_text(in, in.ConsumeIntegralInRange<size_t>(0, 80));
        s.valid = true;
    }
    return s;
}

// A destination of exactly size bytes holding valid text of pos bytes when
// pos < size; a position at or beyond the size leaves a NUL in the last
// byte, so that every destination is terminated on entry.
struct Dest {
    size_t size = 0;
    size_t pos = 0;
    std::string prefix;
    std::unique_ptr<char[]> buf;
    std::string before;  // the whole block, to see that nothing changed

    Dest(FuzzedDataProvider &in, bool at_start) {
        size = in.ConsumeIntegralInRange<size_t>(0, 48);
        pos = at_start ? 0 : in.ConsumeIntegralInRange<size_t>(0, size + 2);
        buf = std::make_unique<char[]>(size);
        std::memset(buf.get(), 0xBE, size);  // not text: stray bytes would show
        if (pos < size) {
            prefix = valid_text(in, pos);
            std::memcpy(buf.get(), prefix.data(), pos);
            buf[pos] = '\0';
        } else if (size > 0) {
            buf[size - 1] = '\0';
        }
        before.assign(buf.get(), size);
    }

    char *data() { return buf.get(); }
    bool in_range() const { return pos < size; }
    bool unchanged() const { return before == std::string_view(buf.get(), size); }
};

// Checks that hold after every call with usable arguments. pos is the
// position the call reported (or, for calls without one, the length of the
// text); expected is the model's text, or null when the model makes no claim.
void check_common(const Dest &d, int32_t rc, size_t pos, const std::string *expected,
                  int32_t expected_rc) {
    CHECK(rc == 0 || rc == EBUFFER);
    CHECK(std::memchr(d.buf.get(), '\0', d.size) != nullptr);
    CHECK(pos < d.size);
    CHECK(d.buf[pos] == '\0');
    CHECK(std::strlen(d.buf.get()) == pos);
    if (expected != nullptr) {
        CHECK(rc == expected_rc);
        CHECK(std::string_view(d.buf.get(), pos) == *expected);
        CHECK(utf::valid(std::string_view(d.buf.get(), pos)));
    }
}

// The model of one bounded copy of text at the end of assembled: the new
// text and the result code.
struct Model {
    std::string text;
    int32_t rc;
};

Model model_copy(std::string_view assembled, std::string_view text, size_t size) {
    const size_t room = size - 1 - assembled.size();
    Model m{std::string(assembled), 0};
    m.text += cut(text, room);
    if (text.size() > room) m.rc = EBUFFER;
    return m;
}

bool is_space(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

void fuzz_str_to(FuzzedDataProvider &in, bool limited) {
    const bool null_pos = in.ConsumeBool();
    Dest d(in, null_pos);
    const bool null_src = in.ConsumeIntegralInRange<int>(0, 15) == 0;
    Source s = make_source(in);
    std::string_view piece = s.bytes;
    int32_t rc;
    size_t pos = d.pos;
    if (!limited) {
        auto src = c_string(s.bytes);
        rc = ov_str_to(d.data(), null_src ? nullptr : src.get(), d.size, null_pos ? nullptr : &pos);
    } else {
        // An unterminated source of exactly its bytes, or a terminated one
        // with a limit beyond its end.
        const bool terminated = in.ConsumeBool();
        const size_t limit =
            in.ConsumeIntegralInRange<size_t>(0, s.bytes.size() + (terminated ? 8 : 0));
        const auto src =
            terminated ? c_string(s.bytes) : ovfuzz::copy_of(s.bytes.data(), s.bytes.size());
        rc = ov_strn_to(d.data(), null_src ? nullptr : src.get(), limit, d.size,
                        null_pos ? nullptr : &pos);
        piece = piece.substr(0, limit < piece.size() ? limit : piece.size());
    }
    if (null_pos) pos = d.size > 0 ? std::strlen(d.data()) : 0;
    if (null_src || !d.in_range()) {
        CHECK(rc == EINVAL);
        if (d.size > 0) CHECK(d.buf[0] == '\0');
        return;
    }
    const bool claim = utf::valid(piece);
    Model m = model_copy(d.prefix, piece, d.size);
    check_common(d, rc, pos, claim ? &m.text : nullptr, m.rc);
}

void fuzz_copy_and_cat(FuzzedDataProvider &in, bool cat) {
    Dest d(in, !cat);
    // ov_str_cat appends to the text in the destination, which has none
    // when the position was set beyond it.
    if (cat && d.size > 0 && !d.in_range()) return;
    Source s = make_source(in);
    auto src = c_string(s.bytes);
    const int32_t rc =
        cat ? ov_str_cat(d.data(), src.get(), d.size) : ov_str_copy(d.data(), src.get(), d.size);
    if (d.size == 0) {
        // No byte may be written; an empty source is nothing to append.
        CHECK(d.unchanged());
        CHECK(rc == (cat ? (s.bytes.empty() ? 0 : EBUFFER) : EINVAL));
        return;
    }
    Model m = model_copy(d.prefix, s.bytes, d.size);
    check_common(d, rc, std::strlen(d.data()), s.valid ? &m.text : nullptr, m.rc);
}

void fuzz_trimmed(FuzzedDataProvider &in) {
    const bool null_pos = in.ConsumeBool();
    Dest d(in, null_pos);
    Source s = make_source(in);
    // White space around the text makes the trimming do some work.
    std::string text = std::string(in.ConsumeIntegralInRange<size_t>(0, 4), ' ') + s.bytes +
                       std::string(in.ConsumeIntegralInRange<size_t>(0, 4), '\t');
    auto src = c_string(text);
    size_t pos = d.pos;
    const int32_t rc = ov_trimmed_str_to(d.data(), src.get(), d.size, null_pos ? nullptr : &pos);
    if (null_pos) pos = d.size > 0 ? std::strlen(d.data()) : 0;
    if (!d.in_range()) {
        CHECK(rc == EINVAL);
        if (d.size > 0) CHECK(d.buf[0] == '\0');
        return;
    }
    std::string_view lead = text;
    while (!lead.empty() && is_space(lead.front())) lead.remove_prefix(1);
    std::string_view both = lead;
    while (!both.empty() && is_space(both.back())) both.remove_suffix(1);
    const size_t room = d.size - 1 - d.pos;
    Model m{d.prefix, 0};
    if (both.size() <= room) {
        m.text += both;
    } else {
        m.text += cut(lead, room);
        m.rc = EBUFFER;
    }
    check_common(d, rc, pos, utf::valid(text) ? &m.text : nullptr, m.rc);
}

void fuzz_printf(FuzzedDataProvider &in) {
    const bool null_pos = in.ConsumeBool();
    Dest d(in, null_pos);
    Source s = make_source(in);
    auto src = c_string(s.bytes);
    const bool precision = in.ConsumeBool();
    const int digits = in.ConsumeIntegralInRange<int>(0, static_cast<int>(s.bytes.size()) + 4);
    size_t pos = d.pos;
    size_t *posp = null_pos ? nullptr : &pos;
    const int32_t rc = precision
                           ? ov_str_printf_to(d.data(), d.size, posp, "%.*s", digits, src.get())
                           : ov_str_printf_to(d.data(), d.size, posp, "%s", src.get());
    if (null_pos) pos = d.size > 0 ? std::strlen(d.data()) : 0;
    if (!d.in_range()) {
        CHECK(rc == EINVAL);
        if (d.size > 0) CHECK(d.buf[0] == '\0');
        return;
    }
    // The formatted text; a precision may itself split a character, and
    // then the model makes no claim.
    std::string_view text = s.bytes;
    if (precision && static_cast<size_t>(digits) < text.size()) text = text.substr(0, digits);
    Model m = model_copy(d.prefix, text, d.size);
    check_common(d, rc, pos, utf::valid(text) ? &m.text : nullptr, m.rc);
}

void fuzz_concat(FuzzedDataProvider &in) {
    const bool null_pos = in.ConsumeBool();
    Dest d(in, null_pos);
    const size_t count = in.ConsumeIntegralInRange<size_t>(0, 10);
    std::vector<Source> sources;
    std::vector<ovfuzz::Block<char>> blocks;
    const char *p[10] = {};
    for (size_t i = 0; i < count; ++i) {
        sources.push_back(make_source(in));
        blocks.push_back(c_string(sources.back().bytes));
        p[i] = blocks.back().get();
    }
    size_t pos = d.pos;
    const int32_t rc = ov_str_concat_to(d.data(), d.size, null_pos ? nullptr : &pos, p[0], p[1],
                                        p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9], nullptr);
    if (count == 10 || count == 0) {
        // Ten pieces are refused before anything is written; none is nothing
        // to do, whatever the position.
        CHECK(rc == (count == 10 ? EINVAL : 0));
        CHECK(d.unchanged());
        CHECK(pos == d.pos);
        return;
    }
    if (null_pos) pos = d.size > 0 ? std::strlen(d.data()) : 0;
    if (!d.in_range()) {
        CHECK(rc == EINVAL);
        if (d.size > 0) CHECK(d.buf[0] == '\0');
        return;
    }
    Model m{d.prefix, 0};
    bool claim = true;
    for (const Source &s : sources) {
        claim = claim && s.valid;
        m = model_copy(m.text, s.bytes, d.size);
        if (m.rc != 0) break;
    }
    check_common(d, rc, pos, claim ? &m.text : nullptr, m.rc);
}

void fuzz_trim_partial(FuzzedDataProvider &in) {
    const bool null_length = in.ConsumeBool();
    if (in.ConsumeBool()) {
        // Valid text cut at any byte: the repair leaves the text up to the
        // last character boundary.
        const std::string text = valid_text(in, in.ConsumeIntegralInRange<size_t>(0, 40));
        const size_t at = in.ConsumeIntegralInRange<size_t>(0, text.size());
        auto buf = c_string(std::string_view(text).substr(0, at));
        size_t len = at;
        CHECK(ov_utf8_trim_partial(buf.get(), null_length ? nullptr : &len) == 0);
        const std::string_view whole = cut(text, at);
        CHECK(std::string_view(buf.get()) == whole);
        if (!null_length) CHECK(len == whole.size());
        return;
    }
    // Arbitrary bytes: the text only ever loses a tail, and is left alone
    // when the repair finds no lead byte.
    std::string raw = in.ConsumeRandomLengthString(40);
    raw.resize(strnlen(raw.data(), raw.size()));
    auto buf = c_string(raw);
    size_t len = raw.size();
    const int32_t rc = ov_utf8_trim_partial(buf.get(), null_length ? nullptr : &len);
    CHECK(rc == 0 || rc == EINVAL);
    const size_t now = std::strlen(buf.get());
    CHECK(raw.compare(0, now, buf.get()) == 0);
    if (!null_length) CHECK(len == now);
    if (rc == EINVAL) CHECK(now == raw.size());
    // What is removed is one character from its lead byte on.
    if (now < raw.size()) CHECK(static_cast<unsigned char>(raw[now]) >= 0xC0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    for (int calls = 0; calls < 8 && in.remaining_bytes() > 0; ++calls) {
        switch (in.ConsumeIntegralInRange<int>(0, 7)) {
            case 0:
                fuzz_str_to(in, false);
                break;
            case 1:
                fuzz_str_to(in, true);
                break;
            case 2:
                fuzz_copy_and_cat(in, false);
                break;
            case 3:
                fuzz_copy_and_cat(in, true);
                break;
            case 4:
                fuzz_trimmed(in);
                break;
            case 5:
                fuzz_printf(in);
                break;
            case 6:
                fuzz_concat(in);
                break;
            default:
                fuzz_trim_partial(in);
                break;
        }
    }
    return 0;
}
