// fuzz_base64.cpp - libFuzzer target for the Base64 and Base64url codecs.
//
// Each input is taken once as binary data and once as text:
//   - as data, it is encoded with both alphabets into buffers of exactly the
//     size the encoders ask for (one byte less must give EBUFFER); the
//     standard text must equal OpenSSL's EVP_EncodeBlock byte for byte (when
//     OpenSSL is at hand), the URL text must be the standard text with "-"
//     and "_" and without padding, and all three decoders must give the data
//     back;
//   - as text, it goes to the three decoders with a fuzzed buffer size; the
//     strict decoder's result must equal a plain model of it (a copy without
//     white space, then group by group), which checks its fast path, and no
//     decoder may write past its buffer or report more bytes than it has.
#include <ovplatform/overror.h>
#include <ovplatform/ovstring.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#ifdef OV_FUZZ_HAVE_OPENSSL
#include <openssl/evp.h>
#endif

#include "fuzz_util.h"

namespace {

using ovfuzz::block;

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int value_of(unsigned char c) {
    const char *p = c != 0 ? std::strchr(kAlphabet, c) : nullptr;
    return p != nullptr ? static_cast<int>(p - kAlphabet) : (c == '=' ? 0 : -1);
}

// The strict decoder step by step: drop white space, reject any other byte
// outside the alphabet and "=", check length and size, then decode groups
// of four, "=" or the end standing for missing characters.
int32_t model_strict(const std::string &text, std::string *out, size_t size) {
    std::string copy;
    for (unsigned char c : text) {
        if (c == '\t' || c == '\n' || c == '\r' || c == ' ') continue;
        if (value_of(c) < 0) return EINVAL;
        copy += static_cast<char>(c);
    }
    const size_t n = copy.size();
    if (n != 0 && n % 4 != 0) return EINVAL;
    if (n != 0 && size <= 3 * (n / 4)) return EBUFFER;
    out->clear();
    for (size_t i = 0; i < n; i += 4) {
        const char c1 = copy[i], c2 = copy[i + 1], c3 = copy[i + 2], c4 = copy[i + 3];
        if (c1 == '=') break;
        if (c2 == '=') return EINVAL;
        const int v1 = value_of(c1), v2 = value_of(c2), v3 = value_of(c3), v4 = value_of(c4);
        *out += static_cast<char>(v1 << 2 | v2 >> 4);
        if (c3 == '=') continue;
        *out += static_cast<char>((v2 & 15) << 4 | v3 >> 2);
        if (c4 == '=') continue;
        *out += static_cast<char>((v3 & 3) << 6 | v4);
    }
    return 0;
}

void encode_and_decode(const std::string &data) {
    const size_t n = data.size();
    const size_t text_length = 4 * ((n + 2) / 3);
    auto text = block(text_length + 1);
    size_t length = 0;
    if (n != 0)
        CHECK(ov_str_base64_encode(data.data(), n, reinterpret_cast<char *>(text.get()),
                                   text_length, &length) == EBUFFER);
    CHECK(ov_str_base64_encode(data.data(), n, reinterpret_cast<char *>(text.get()),
                               text_length + 1, &length) == 0);
    CHECK(length == text_length);
    CHECK(text[text_length] == '\0');
    const std::string standard(reinterpret_cast<char *>(text.get()), text_length);
#ifdef OV_FUZZ_HAVE_OPENSSL
    std::vector<unsigned char> reference(text_length + 1);
    const int written =
        EVP_EncodeBlock(reference.data(), reinterpret_cast<const unsigned char *>(data.data()),
                        static_cast<int>(n));
    CHECK(static_cast<size_t>(written) == text_length);
    CHECK(std::memcmp(reference.data(), text.get(), text_length + 1) == 0);
#endif

    // Both standard decoders give the data back in the room they ask for.
    const size_t room = 3 * (text_length / 4) + 1;
    auto bytes = block(room);
    size_t got = 0;
    CHECK(ov_str_base64_to_buf(standard.data(), text_length, bytes.get(), room, &got) == 0);
    CHECK(got == n && std::memcmp(bytes.get(), data.data(), n) == 0);
    got = 0;
    CHECK(ov_str_base64_decode_lenient(standard.data(), text_length, bytes.get(), room, &got) == 0);
    CHECK(got == n && std::memcmp(bytes.get(), data.data(), n) == 0);

    // The URL form: the same characters but "-" and "_", and no padding.
    std::string url = standard;
    while (!url.empty() && url.back() == '=') url.pop_back();
    for (char &c : url) c = c == '+' ? '-' : (c == '/' ? '_' : c);
    const size_t url_size = ov_str_base64url_size(n);
    CHECK(url_size == url.size() + 1);
    auto url_text = block(url_size);
    if (n != 0)
        CHECK(ov_str_base64url_encode(data.data(), n, reinterpret_cast<char *>(url_text.get()),
                                      url_size - 1, &length) == EBUFFER);
    CHECK(ov_str_base64url_encode_str(data.data(), n, reinterpret_cast<char *>(url_text.get()),
                                      url_size) == 0);
    CHECK(std::memcmp(url_text.get(), url.c_str(), url_size) == 0);
    const size_t url_room = 3 * ((url.size() + 2) / 4);
    auto url_bytes = block(url_room);
    got = 0;
    CHECK(ov_str_base64url_decode(url.data(), url.size(), url_bytes.get(), url_room, &got) == 0);
    CHECK(got == n && std::memcmp(url_bytes.get(), data.data(), n) == 0);
}

void decode_any(const std::string &text, size_t size) {
    auto bytes = block(size);
    size_t got = SIZE_MAX;
    std::string expected;
    const int32_t want = model_strict(text, &expected, size);
    const int32_t rc = ov_str_base64_to_buf(text.data(), text.size(), bytes.get(), size, &got);
    CHECK(rc == want);
    if (rc == 0) {
        CHECK(got == expected.size() && got <= size);
        CHECK(std::memcmp(bytes.get(), expected.data(), got) == 0);
    }

    got = SIZE_MAX;
    const int32_t lenient =
        ov_str_base64_decode_lenient(text.data(), text.size(), bytes.get(), size, &got);
    CHECK(lenient == 0 || lenient == EINVAL || lenient == EBUFFER);
    if (lenient == 0) CHECK(got <= size && got <= 3 * (text.size() / 4) + 2);

    got = SIZE_MAX;
    const int32_t url = ov_str_base64url_decode(text.data(), text.size(), bytes.get(), size, &got);
    CHECK(url == 0 || url == EINVAL || url == EBUFFER);
    if (url == 0) CHECK(got <= size && got <= 3 * (text.size() / 4) + 2);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    ovfuzz::quiet_logs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const auto [room, rest] = ovfuzz::number_and_rest(data, size, 64);
    encode_and_decode(rest);
    decode_any(rest, ovfuzz::near_size(3 * (rest.size() / 4), room % 9));
    decode_any(rest, room);
    return 0;
}
