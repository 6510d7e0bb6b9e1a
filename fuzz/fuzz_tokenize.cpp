// fuzz_tokenize.cpp - libFuzzer target for the command-line tokenizer and
// the comma splitter.
//
// The input (up to its first NUL) is a line in a block of exactly its
// length plus the terminator, so that AddressSanitizer reports any byte
// read past the text. The tokenizer's tokens and result must equal a small
// model of its rules: blanks (0x20 only) separate, a token that starts with
// a quote runs to the next quote of its kind, both removed, an unclosed
// quote or a 1000th token is ETOKENIZER. The comma splitter, with a fuzzed
// maximum index and an array of exactly that many entries, must give the
// non-empty pieces between commas, or EBUFFER when there are too many.
#include <ovplatform/overror.h>
#include <ovplatform/ovstring.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_util.h"

namespace {

int32_t model_tokenize(const std::string &line, std::vector<std::string> *tokens) {
    size_t i = 0;
    for (;;) {
        while (i < line.size() && line[i] == ' ') ++i;
        if (i == line.size()) return 0;
        if (tokens->size() == 999) return ETOKENIZER;
        const char c = line[i];
        if (c == '"' || c == '\'') {
            const size_t close = line.find(c, i + 1);
            if (close == std::string::npos) return ETOKENIZER;
            tokens->push_back(line.substr(i + 1, close - i - 1));
            i = close + 1;
        } else {
            size_t j = line.find(' ', i);
            if (j == std::string::npos) j = line.size();
            tokens->push_back(line.substr(i, j - i));
            i = j;
        }
    }
}

void check_tokenize(const std::string &line) {
    const auto text = ovfuzz::c_string(line);
    std::vector<std::string> expected;
    const int32_t want = model_tokenize(line, &expected);
    char **array = reinterpret_cast<char **>(&expected);  // must be overwritten
    int32_t count = -1;
    const int32_t rc = ov_str_tokenize(text.get(), &array, &count);
    CHECK(rc == want);
    if (rc != 0 || expected.empty()) {
        CHECK(array == nullptr && count == 0);
        return;
    }
    CHECK(count == static_cast<int32_t>(expected.size()));
    // All tokens lie one after another in the block that the first starts.
    const char *next = array[0];
    for (int32_t i = 0; i < count; ++i) {
        CHECK(array[i] == next);
        CHECK(expected[static_cast<size_t>(i)] == array[i]);
        next = array[i] + std::strlen(array[i]) + 1;
    }
    CHECK(static_cast<size_t>(next - array[0]) <= line.size() + 1);
    ov_str_array_free(array);
}

void check_split(const std::string &line, int32_t max_index) {
    const auto text = ovfuzz::c_string(line);
    std::vector<std::string> pieces;
    for (size_t i = 0; i < line.size();) {
        size_t j = line.find(',', i);
        if (j == std::string::npos) j = line.size();
        if (j > i) pieces.push_back(line.substr(i, j - i));
        i = j + 1;
    }
    auto array = ovfuzz::block(sizeof(char *) * static_cast<size_t>(max_index + 1));
    auto **slots = reinterpret_cast<char **>(array.get());
    int32_t count = -1;
    const int32_t rc = ov_str_split_commas(text.get(), slots, max_index, &count);
    if (pieces.size() > static_cast<size_t>(max_index) + 1) {
        CHECK(rc == EBUFFER && count == 0);
        return;
    }
    CHECK(rc == 0 && count == static_cast<int32_t>(pieces.size()));
    if (line.empty()) CHECK(slots[0] == nullptr);
    for (int32_t i = 0; i < count; ++i) CHECK(pieces[static_cast<size_t>(i)] == slots[i]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider fdp(data, size);
    const int32_t max_index = fdp.ConsumeIntegralInRange<int32_t>(1, 12);
    std::string line = fdp.ConsumeRemainingBytesAsString();
    line.resize(std::strlen(line.c_str()));
    check_tokenize(line);
    check_split(line, max_index);
    return 0;
}
