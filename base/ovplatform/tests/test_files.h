// test_files.h - file helpers shared by the gtest programs and the
// reliability harness, which does not link gtest: nothing here asserts.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace ovtest {

// The whole content of a file; "" when it cannot be opened, so that a test
// can compare the text of a file that should exist without a separate check.
inline std::string read_file(const std::string &path) {
    std::string out;
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fd);
    return out;
}

// The names in a directory without "." and "..", sorted so that tests can
// compare whole listings; empty when the directory cannot be read.
inline std::vector<std::string> entries(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.emplace_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace ovtest
