// program_copy.h - a program copied to where every user can run it.
//
// Tests that run a program as another user (nobody, or an account of their
// own) cannot start it from the build tree when that tree lies below a
// directory that only its owner may enter, as a clone in a `mktemp -d`
// directory (mode 0700) does. A ProgramCopy puts the program into a new
// directory under /tmp that every user may search, and removes both again
// when it goes.
//
// The program is copied alone. The programs run this way load nothing from
// the build tree: the tools carry the platform library inside and the test
// programs link it statically, so what they load comes from the system's
// own directories, which every user can reach.
//
// Nothing here asserts or prints: error() says why a copy could not be made.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "ovsupport/files.h"

namespace ovsupport {

class ProgramCopy {
  public:
    explicit ProgramCopy(const std::string &program) {
        // Not TMPDIR: a private one (such as /run/user/<uid>, mode 0700) is
        // as far out of other users' reach as the build tree.
        dir_ = make_temp_dir("/tmp", "ovprogram");
        if (dir_.empty()) {
            fail("cannot make a directory under /tmp");
            return;
        }
        // mkdtemp makes the directory 0700.
        if (chmod(dir_.c_str(), 0755) != 0) {
            fail("cannot open " + dir_ + " to other users");
            return;
        }
        struct statvfs fs {};
        if (statvfs(dir_.c_str(), &fs) == 0 && (fs.f_flag & ST_NOEXEC) != 0) {
            error_ = "/tmp is mounted noexec: no program can be run from there";
            return;
        }
        const size_t slash = program.rfind('/');
        const std::string copy =
            dir_ + "/" + (slash == std::string::npos ? program : program.substr(slash + 1));
        if (!copy_program(program, copy)) {
            fail("cannot copy " + program + " to " + copy);
            return;
        }
        path_ = copy;
    }
    ~ProgramCopy() {
        if (!dir_.empty()) remove_tree(dir_);
    }
    ProgramCopy(const ProgramCopy &) = delete;
    ProgramCopy &operator=(const ProgramCopy &) = delete;

    bool ok() const { return !path_.empty(); }
    // The copy; empty when it could not be made.
    const std::string &path() const { return path_; }
    const std::string &error() const { return error_; }

  private:
    void fail(const std::string &what) { error_ = what + ": " + std::strerror(errno); }

    // Copies from to a new file to, mode 0755 whatever the umask. Both are
    // opened close-on-exec: a child forked meanwhile would otherwise keep
    // the new file open for writing, and exec it would fail with ETXTBSY
    // for as long as that child lives.
    static bool copy_program(const std::string &from, const std::string &to) {
        const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
        if (in < 0) return false;
        const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0700);
        if (out < 0) {
            const int saved = errno;
            close(in);
            errno = saved;
            return false;
        }
        int error = 0;
        char buffer[65536];
        for (;;) {
            const ssize_t n = read(in, buffer, sizeof buffer);
            if (n == 0) break;
            if (n < 0 || !write_all(out, buffer, static_cast<size_t>(n))) {
                error = errno;
                break;
            }
        }
        if (error == 0 && fchmod(out, 0755) != 0) error = errno;
        if (close(out) != 0 && error == 0) error = errno;
        close(in);
        errno = error;
        return error == 0;
    }

    static bool write_all(int fd, const char *data, size_t size) {
        while (size > 0) {
            const ssize_t n = write(fd, data, size);
            if (n <= 0) {
                if (n == 0) errno = EIO;
                return false;
            }
            data += n;
            size -= static_cast<size_t>(n);
        }
        return true;
    }

    std::string dir_;
    std::string path_;
    std::string error_;
};

}  // namespace ovsupport
