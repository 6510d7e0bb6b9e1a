// files.h - file helpers for every test program, the reliability harness and
// the test file server.
//
// Nothing here asserts or prints: each helper reports failure through its
// result (and errno), so that gtest programs can wrap it in an assertion and
// programs without a test framework can count or log it. Descriptors are
// opened close-on-exec, as the harness and the file server fork and exec
// from several threads at once.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace ovsupport {

// The whole content of a file; "" when it cannot be opened, so that a test
// can compare the text of a file that should exist without a separate check.
inline std::string read_file(const std::string &path) {
    std::string out;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fd);
    return out;
}

// Creates or truncates a file with mode 0644 (less the umask) and writes data
// to it. False when any step fails, with errno from the failing call.
inline bool write_file(const std::string &path, const std::string &data) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n <= 0) {
            // A write that writes nothing without an error would loop forever.
            const int saved = n < 0 ? errno : EIO;
            close(fd);
            errno = saved;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return close(fd) == 0;
}

// Replaces a file's content in one step: the data goes to "<path>.tmp",
// which is then renamed over path. A reader polling the file never sees it
// half written, and the file is a new one, as when another holder or writer
// puts its own in place.
inline bool replace_file(const std::string &path, const std::string &data) {
    const std::string tmp = path + ".tmp";
    if (!write_file(tmp, data)) return false;
    if (std::rename(tmp.c_str(), path.c_str()) == 0) return true;
    const int saved = errno;
    unlink(tmp.c_str());
    errno = saved;
    return false;
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

// A file's modification time; {-1, 0} when it cannot be read.
inline timespec mtime_of(const std::string &path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return {-1, 0};
    return st.st_mtim;
}

// Sets a file's access and modification times to the given moment.
inline bool set_mtime(const std::string &path, time_t seconds, long nanoseconds = 0) {
    const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    return utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

// Makes a new directory "<base>/<stem>.XXXXXX" and returns its path; "" when
// it cannot be made, with errno from mkdtemp.
inline std::string make_temp_dir(const std::string &base, const std::string &stem) {
    std::string tmpl = base + "/" + stem + ".XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) return {};
    return tmpl;
}

// Removes a directory with everything in it. Permissions a test took away
// from a directory below are given back first, or its content could not be
// removed; whatever still cannot be removed stays.
inline void remove_tree(const std::string &dir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    // Stepped with error codes: the programs are built without exceptions,
    // and a throwing step would abort them.
    fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code ignored;
        if (it->is_directory(ignored) && !it->is_symlink(ignored))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(dir, ec);
}

// Waits until file exists, at most limit; whether it does.
inline bool wait_for_file(const std::string &file,
                          std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (access(file.c_str(), F_OK) != 0) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace ovsupport
