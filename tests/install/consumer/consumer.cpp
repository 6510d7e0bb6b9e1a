// consumer.cpp - a C++ program built against an installed ovplatform.
//
// The C++ side of the install test: the public headers must declare the API
// with C linkage, so that this file links against the library whether it is
// compiled with the library's own compiler or another, and they must be
// usable next to the standard library headers. The C++ header is installed
// beside them and works in C++17.
#include <ovplatform/ov.h>
#include <ovplatform/ovplatform.hpp>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

int failures = 0;

void expect(bool ok, std::string_view what) {
    if (!ok) {
        std::fprintf(stderr, "consumer.cpp: wrong answer: %.*s\n", static_cast<int>(what.size()),
                     what.data());
        ++failures;
    }
}

}  // namespace

int main() {
    std::array<char, 128> text{};
    expect(std::string_view(ov_error_name(ELOCKSKEW)) == "ELOCKSKEW", "ov_error_name(ELOCKSKEW)");
    expect(ov_error_string(ELOCKED, text.data(), text.size()) == 0 &&
               std::string_view(text.data()) == "Already locked",
           "ov_error_string(ELOCKED)");
    expect(std::string_view(ov_lockfile_strerror(ENOSPC, text.data(), text.size())) ==
               "out of disk space",
           "ov_lockfile_strerror(ENOSPC)");

    // The growable-buffer functions realloc the caller's malloc'ed buffer:
    // four bytes must grow to hold the text.
    size_t size = 4;
    char *buffer = static_cast<char *>(std::malloc(size));
    size_t pos = 0;
    expect(ov_str_printf_alloc(&buffer, &size, &pos, "%s:%d", "pid", 42) == 0 &&
               buffer != nullptr && std::string(buffer) == "pid:42" && pos == 6 && size > 6,
           "ov_str_printf_alloc growing a 4-byte buffer");
    std::free(buffer);

    std::array<char, 64> record{};
    pos = 0;
    expect(ov_uuid_append(record.data(), static_cast<int64_t>(record.size()), &pos) == 0 &&
               pos == 36 && record[14] != '\0',
           "ov_uuid_append");
    std::array<uint8_t, 16> id{};
    expect(ov_uuid_parse(record.data(), id.data()) == 0,
           "ov_uuid_parse of the appended identifier");

    // The C++ header: the library's message through std::error_code, and a
    // typed hash table that copies its keys.
    expect(ov::make_error_code(ELOCKED).message() == "Already locked",
           "ov::make_error_code(ELOCKED).message()");
    expect(ov::make_error_code(ENOENT) == std::errc::no_such_file_or_directory,
           "ov::make_error_code(ENOENT) == std::errc::no_such_file_or_directory");
    auto map = ov::hash_map<std::string, int>::create();
    int value = 7;
    expect(map && !map->put(std::string("key"), &value) && map->get("key") == &value,
           "ov::hash_map<std::string, int> round trip");

    if (failures == 0) std::puts("consumer.cpp: ok");
    return failures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
