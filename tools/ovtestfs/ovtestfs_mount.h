// ovtestfs_mount.h - mounts the test file system for a test and takes it down again.
//
// TestFsMount starts the ovtestfs daemon on a backing directory and a mount
// point, waits until the mount is live, changes the server's clock offset,
// delay and injected faults through the daemon's control file, and unmounts
// in unmount() or its destructor, whatever state the test left the mount in.
// The daemon gets SIGTERM (and so unmounts) should the process that started
// it die first; as that signal follows the thread that forked, mount from a
// thread that outlives the mount. Header only, without test-framework
// dependencies, so that any test program can include it. Needs root, like
// the daemon.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ovsupport/files.h"
#include "ovsupport/process.h"

class TestFsMount {
  public:
    // binary is the path of the ovtestfs program; by default the one the
    // build passed in OVTESTFS_BIN, empty when it was not built.
    explicit TestFsMount(std::string binary = default_binary()) : binary_(std::move(binary)) {}
    ~TestFsMount() { unmount(); }
    TestFsMount(const TestFsMount &) = delete;
    TestFsMount &operator=(const TestFsMount &) = delete;

    static std::string default_binary() {
#ifdef OVTESTFS_BIN
        return OVTESTFS_BIN;
#else
        return std::string();
#endif
    }

    // Whether a mount can work here: the binary exists, /dev/fuse can be
    // opened, and a trial mount serves a file. When not, *why says what is
    // missing, for the test to print as its reason to skip. The answer for
    // the binary asked about last is kept, so that a test program pays for
    // one trial mount, not one per test.
    static bool available(std::string *why) {
        return available(default_binary(), why);
    }
    static bool available(const std::string &binary, std::string *why) {
        static std::mutex m;
        static std::string checked_binary, checked_why;
        static bool checked = false, checked_ok = false;
        std::lock_guard<std::mutex> lock(m);
        if (!checked || checked_binary != binary) {
            checked_ok = probe(binary, &checked_why);
            checked_binary = binary;
            checked = true;
        }
        if (why != nullptr) *why = checked_ok ? std::string() : checked_why;
        return checked_ok;
    }

    // Starts the daemon with the given options (for example "--offset=300"
    // or "--latency-ms=20"; --control and --ready are added here) and waits
    // until the mount is live. False when the daemon exits or does not come
    // up within ten seconds, or when this object is already mounted; the
    // daemon's own messages go to this process's standard error.
    bool mount(const std::string &backing, const std::string &mountpoint,
               const std::vector<std::string> &options) {
        if (pid_ > 0) return false;
        if (!make_state_dir()) return false;
        control_ = state_dir_ + "/control";
        const std::string ready = state_dir_ + "/ready";
        std::vector<std::string> args = options;
        args.push_back("--control=" + control_);
        args.push_back("--ready=" + ready);
        args.push_back(backing);
        args.push_back(mountpoint);

        mountpoint_ = canonical(mountpoint);
        status_ = -1;
        pid_ = ovsupport::StartProgram(binary_, args, {.parent_death_signal = SIGTERM});
        if (pid_ < 0) {
            pid_ = -1;
            remove_state_dir();
            return false;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (access(ready.c_str(), F_OK) != 0) {
            if (const auto status = ovsupport::TryWait(pid_, std::chrono::milliseconds(0))) {
                pid_ = -1;
                status_ = *status;
                detach_if_mounted();
                remove_state_dir();
                return false;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                unmount();
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    // Stops the daemon with SIGTERM, on which it unmounts (lazily, so that
    // files a test left open do not keep the mount busy), and waits for it.
    // A daemon that does not end within ten seconds is killed and its mount
    // detached here. Nothing happens when nothing is mounted.
    void unmount() {
        if (pid_ > 0) {
            std::optional<int> status;
            // Unmounted from outside, the daemon is already on its way out,
            // and past the point where SIGTERM would still reach its
            // handler: let it end by itself.
            if (!is_mounted(mountpoint_))
                status = ovsupport::TryWait(pid_, std::chrono::seconds(5));
            if (!status) {
                kill(pid_, SIGTERM);
                status = ovsupport::WaitFor(pid_, std::chrono::seconds(10));
            }
            status_ = status.value_or(-1);
            pid_ = -1;
            detach_if_mounted();
        }
        remove_state_dir();
    }

    // The daemon's control file; empty when nothing is mounted.
    const std::string &control_path() const {
        return control_;
    }

    // Replaces the control file's text ("offset=S", "latency_ms=N",
    // "fail=ERRNAME:op,op" lines; "" goes back to the command-line values)
    // and returns once the daemon has read it: the daemon re-reads the file
    // before serving any request and copies what it read to control.ack, so
    // one stat of the mount point normally settles it. False when the file
    // cannot be written or the daemon shows no sign of it within five
    // seconds.
    bool set_control(const std::string &text) {
        if (pid_ <= 0) return false;
        // Renamed into place, so that the daemon never reads half of it.
        if (!ovsupport::replace_file(control_, text)) return false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            struct stat st {};
            stat(mountpoint_.c_str(), &st);  // fails when getattr is made to fail; it counts anyway
            if (ovsupport::read_file(control_ + ".ack") == text) return true;
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    bool mounted() const {
        return pid_ > 0;
    }
    const std::string &mountpoint() const {
        return mountpoint_;
    }
    pid_t pid() const {
        return pid_;
    }
    // The wait status of the last daemon once it ended, -1 while it runs or
    // when it was never started.
    int exit_status() const {
        return status_;
    }

    // Whether mountpoint is a mount point in this process's view, as
    // /proc/self/mountinfo lists them.
    static bool is_mounted(const std::string &mountpoint) {
        const std::string want = canonical(mountpoint);
        const std::string table = ovsupport::read_file("/proc/self/mountinfo");
        size_t pos = 0;
        while (pos < table.size()) {
            size_t eol = table.find('\n', pos);
            if (eol == std::string::npos) eol = table.size();
            // The fifth field is the mount point, with blanks written as \ooo.
            size_t field = pos;
            for (int i = 0; i < 4 && field < eol; ++i) field = table.find(' ', field) + 1;
            const size_t end = std::min(table.find(' ', field), eol);
            if (unescape(table.substr(field, end - field)) == want) return true;
            pos = eol + 1;
        }
        return false;
    }

  private:
    static std::string unescape(const std::string &s) {
        std::string out;
        for (size_t i = 0; i < s.size(); ++i) {
            if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3') {
                out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 +
                                         (s[i + 3] - '0'));
                i += 3;
            } else {
                out += s[i];
            }
        }
        return out;
    }

    // The mount point's own name is not resolved: on a mount whose daemon
    // died, every lookup of it fails, and it must still be found.
    static std::string canonical(const std::string &path) {
        std::string p = path;
        while (p.size() > 1 && p.back() == '/') p.pop_back();
        const size_t slash = p.rfind('/');
        const std::string dir = slash == std::string::npos ? "."
                                : slash == 0               ? "/"
                                                           : p.substr(0, slash);
        const std::string name = slash == std::string::npos ? p : p.substr(slash + 1);
        char *real = realpath(dir.c_str(), nullptr);
        if (real == nullptr) return p;
        std::string out = real;
        free(real);
        return out == "/" ? "/" + name : out + "/" + name;
    }

    static bool probe(const std::string &binary, std::string *why) {
        if (binary.empty()) {
            *why = "ovtestfs was not built (fuse3 development files missing)";
            return false;
        }
        if (access(binary.c_str(), X_OK) != 0) {
            *why = binary + ": " + std::strerror(errno);
            return false;
        }
        const int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            *why = std::string("/dev/fuse: ") + std::strerror(errno);
            return false;
        }
        close(fd);
        std::error_code ec;
        const std::filesystem::path tmp = std::filesystem::temp_directory_path(ec);
        std::string dir = (tmp / "ovtestfs-probe.XXXXXX").string();
        if (ec || mkdtemp(dir.data()) == nullptr) {
            *why = "cannot make a temporary directory for a trial mount";
            return false;
        }
        bool ok = false;
        if (mkdir((dir + "/b").c_str(), 0755) == 0 && mkdir((dir + "/m").c_str(), 0755) == 0) {
            TestFsMount trial(binary);
            if (trial.mount(dir + "/b", dir + "/m", {})) {
                const int f = open((dir + "/m/probe").c_str(), O_WRONLY | O_CREAT, 0644);
                ok = f >= 0 && write(f, "ok", 2) == 2;
                if (f >= 0) close(f);
                trial.unmount();
                ok = ok && ovsupport::read_file(dir + "/b/probe") == "ok";
            }
        }
        std::filesystem::remove_all(dir, ec);
        if (!ok) *why = "a trial mount of " + binary + " failed (its messages are above)";
        return ok;
    }

    bool make_state_dir() {
        std::error_code ec;
        const std::filesystem::path tmp = std::filesystem::temp_directory_path(ec);
        std::string dir = (tmp / "ovtestfs-state.XXXXXX").string();
        if (ec || mkdtemp(dir.data()) == nullptr) return false;
        state_dir_ = dir;
        return true;
    }

    void remove_state_dir() {
        if (state_dir_.empty()) return;
        std::error_code ec;
        std::filesystem::remove_all(state_dir_, ec);
        state_dir_.clear();
        control_.clear();
    }

    // A daemon that was killed or crashed leaves its mount behind, and every
    // access to it fails until it is detached.
    void detach_if_mounted() {
        if (!mountpoint_.empty() && is_mounted(mountpoint_))
            umount2(mountpoint_.c_str(), MNT_DETACH);
    }

    std::string binary_;
    std::string state_dir_;
    std::string control_;
    std::string mountpoint_;
    pid_t pid_ = -1;
    int status_ = -1;
};
