// process.h - child processes for every test program, the reliability
// harness and the test file server's mount helper.
//
// One way to run a program or a function in a child: its standard output and
// error go to files, and before it runs it can change its directory, umask,
// session, user, process limit, core dumps, subreaper role and parent-death
// signal. Waiting comes with or without a time limit, a child still running
// at its limit can be killed and reaped, and a wait status decodes into one
// integer for comparisons and into words for messages.
//
// Everything a child needs is prepared before the fork, so that between the
// fork and the exec (or the function) it makes only async-signal-safe calls:
// the harness forks from processes whose lock workers are threads. A child
// that cannot set itself up exits with one of the SetupFailure codes.
// Nothing here asserts or prints.
#pragma once

#include <grp.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace ovsupport {

// The user id of 'nobody' on the usual Linux systems.
inline constexpr uid_t kNobody = 65534;

// How a child is set up before it runs a program or a function. Every field
// left at its default leaves that part as the parent has it.
struct ChildOptions {
    std::string out;  // standard output goes to this file (created or truncated)
    std::string err;  // standard error likewise
    std::string cwd;  // working directory
    std::optional<mode_t> umask;
    bool new_session = false;           // leads a session of its own (setsid)
    std::optional<uid_t> user;          // runs as this user, without supplementary groups
    std::optional<rlim_t> nproc_limit;  // RLIMIT_NPROC, set after the change of user
    bool no_core = false;               // dumps no core, so a deliberate crash ends quickly
    bool subreaper = false;             // adopts the orphans of its descendants
    int parent_death_signal = 0;        // sent to it when the parent that started it ends
    // "NAME=value" entries set in a program's environment, replacing any of
    // the same name; a function runs in the parent's environment.
    std::vector<std::string> env;
};

// Exit codes of a child that could not set itself up as asked.
enum SetupFailure : int {
    kCannotRedirect = 120,
    kCannotChangeDirectory = 121,
    kCannotSwitchUser = 122,
    kCannotStartSession = 123,
    kCannotLimit = 124,
    kCannotWatchParent = 125,  // or the parent was gone before it was watched
    kCannotExec = 127,
};

namespace detail {

// Opens name as the given descriptor; async-signal-safe.
inline bool redirect(const std::string &name, int target) {
    if (name.empty()) return true;
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) return false;
    if (fd == target) return true;
    const bool ok = dup2(fd, target) == target;
    close(fd);
    return ok;
}

// In the child: applies the options, or exits with a SetupFailure code.
// parent is the pid of the process that forked, read before the fork.
inline void set_up_child(const ChildOptions &opt, pid_t parent) {
    if (opt.parent_death_signal != 0) {
        // A parent that ended before the request would never send it.
        if (prctl(PR_SET_PDEATHSIG, opt.parent_death_signal) != 0 || getppid() != parent)
            _exit(kCannotWatchParent);
    }
    if (opt.subreaper) prctl(PR_SET_CHILD_SUBREAPER, 1);
    if (!redirect(opt.out, 1) || !redirect(opt.err, 2)) _exit(kCannotRedirect);
    if (!opt.cwd.empty() && chdir(opt.cwd.c_str()) != 0) _exit(kCannotChangeDirectory);
    if (opt.new_session && setsid() < 0) _exit(kCannotStartSession);
    if (opt.umask) umask(*opt.umask);
    if (opt.no_core) {
        const rlimit none{0, 0};
        setrlimit(RLIMIT_CORE, &none);
    }
    if (opt.user &&
        (setgroups(0, nullptr) != 0 || setgid(*opt.user) != 0 || setuid(*opt.user) != 0))
        _exit(kCannotSwitchUser);
    // Lowered after the change of user: a limit the user already exceeds at
    // setuid() time would make that call fail.
    if (opt.nproc_limit) {
        const rlimit limit{*opt.nproc_limit, *opt.nproc_limit};
        if (setrlimit(RLIMIT_NPROC, &limit) != 0) _exit(kCannotLimit);
    }
}

// A program's argument and environment vectors, built before the fork.
class PreparedProgram {
  public:
    PreparedProgram(const std::string &binary, const std::vector<std::string> &args,
                    const std::vector<std::string> &env)
        : binary_(binary), args_(args), env_(env) {
        argv_.push_back(binary_.data());
        for (auto &a : args_) argv_.push_back(a.data());
        argv_.push_back(nullptr);
        if (env_.empty()) return;
        for (char **e = environ; *e != nullptr; ++e) {
            const char *eq = std::strchr(*e, '=');
            const size_t name_length = eq ? static_cast<size_t>(eq - *e) : std::strlen(*e);
            bool replaced = false;
            for (const auto &mine : env_)
                replaced = replaced || (mine.size() > name_length && mine[name_length] == '=' &&
                                        mine.compare(0, name_length, *e, name_length) == 0);
            if (!replaced) envp_.push_back(*e);
        }
        for (auto &mine : env_) envp_.push_back(mine.data());
        envp_.push_back(nullptr);
    }
    PreparedProgram(const PreparedProgram &) = delete;
    PreparedProgram &operator=(const PreparedProgram &) = delete;

    [[noreturn]] void exec() const {
        if (envp_.empty())
            execv(binary_.c_str(), argv_.data());
        else
            execve(binary_.c_str(), argv_.data(), envp_.data());
        _exit(kCannotExec);
    }

  private:
    std::string binary_;
    std::vector<std::string> args_;
    std::vector<std::string> env_;
    std::vector<char *> argv_;
    std::vector<char *> envp_;
};

}  // namespace detail

// The program name as PATH finds it (/usr/bin/NAME when it does not), for
// the calls here, which do not search PATH.
inline std::string find_in_path(const std::string &name) {
    const char *path = std::getenv("PATH");
    const std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "/usr/bin/" + name;
}

// Starts binary with args in a child process and returns its pid, -1 when
// the fork fails (with errno).
inline pid_t StartProgram(const std::string &binary, const std::vector<std::string> &args,
                          const ChildOptions &opt = {}) {
    const detail::PreparedProgram program(binary, args, opt.env);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) return pid;
    detail::set_up_child(opt, parent);
    program.exec();
}

// Becomes binary in this process, set up as opt asks; for a child that a
// test forked itself and that has to wait for something before it runs the
// program. Never returns.
[[noreturn]] inline void ExecProgram(const std::string &binary,
                                     const std::vector<std::string> &args,
                                     const ChildOptions &opt = {}) {
    const detail::PreparedProgram program(binary, args, opt.env);
    detail::set_up_child(opt, getppid());
    program.exec();
}

// Runs body in a child process that exits with body's result, and returns
// the child's pid, -1 when the fork fails. Buffered output is flushed first,
// so that the child, which may print and flush itself, does not print the
// parent's pending output a second time.
inline pid_t StartFunction(const std::function<int()> &body, const ChildOptions &opt = {}) {
    std::fflush(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0) return pid;
    detail::set_up_child(opt, parent);
    _exit(body());
}

// Waits for a child without a time limit and returns its raw wait status;
// empty when it cannot be waited for (not a child, or already reaped).
inline std::optional<int> Wait(pid_t pid) {
    int status = 0;
    for (;;) {
        if (waitpid(pid, &status, 0) == pid) return status;
        if (errno != EINTR) return std::nullopt;
    }
}

namespace detail {

enum class Polled { kEnded, kRunning, kNotAChild };

// Looks for the child's end every 2 ms until limit has passed.
inline Polled poll_child(pid_t pid, std::chrono::milliseconds limit, int *status) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid) return Polled::kEnded;
        if (r < 0 && errno != EINTR) return Polled::kNotAChild;
        if (std::chrono::steady_clock::now() >= end) return Polled::kRunning;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace detail

// Waits at most limit for a child and returns its raw wait status; empty
// when it is still running then (it keeps running) or cannot be waited for.
// A limit of zero looks once.
inline std::optional<int> TryWait(pid_t pid, std::chrono::milliseconds limit) {
    int status = 0;
    if (detail::poll_child(pid, limit, &status) == detail::Polled::kEnded) return status;
    return std::nullopt;
}

// Waits at most limit for a child and returns its raw wait status. A child
// still running then is killed and reaped, and the result is empty; so is
// the result for a pid that is not a child, which is left alone.
inline std::optional<int> WaitFor(pid_t pid, std::chrono::milliseconds limit) {
    int status = 0;
    switch (detail::poll_child(pid, limit, &status)) {
        case detail::Polled::kEnded:
            return status;
        case detail::Polled::kRunning:
            kill(pid, SIGKILL);
            Wait(pid);
            return std::nullopt;
        case detail::Polled::kNotAChild:
            break;
    }
    return std::nullopt;
}

// One integer for a wait status: the exit code of a child that exited, the
// negated signal number of one killed by a signal, and kNoStatus when there
// is no status (the child timed out or could not be waited for).
inline constexpr int kNoStatus = -1000;
inline int ExitCode(const std::optional<int> &status) {
    if (!status) return kNoStatus;
    if (WIFEXITED(*status)) return WEXITSTATUS(*status);
    if (WIFSIGNALED(*status)) return -WTERMSIG(*status);
    return kNoStatus;
}

inline bool ExitedWith(const std::optional<int> &status, int code) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

inline bool KilledBy(const std::optional<int> &status, int signal) {
    return status && WIFSIGNALED(*status) && WTERMSIG(*status) == signal;
}

// A wait status in words, for failure messages.
inline std::string DescribeStatus(const std::optional<int> &status) {
    if (!status) return "still running at the time limit, or not a child";
    if (WIFSIGNALED(*status)) return std::string("killed by ") + strsignal(WTERMSIG(*status));
    if (WIFEXITED(*status)) return "exit " + std::to_string(WEXITSTATUS(*status));
    return "status " + std::to_string(*status);
}

}  // namespace ovsupport
