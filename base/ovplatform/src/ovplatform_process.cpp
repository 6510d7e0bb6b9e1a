// ovplatform_process.cpp - thin process and environment primitives.
//
// Part of the platform module: fork and exec, child processes started and
// waited for by id, the environment, and reading a password. Each call wraps
// one or two host calls and turns their failures into platform error codes;
// the richer process control (daemons, pid files, run-as, pipes to a child)
// is the process module's.
//
// A child started here closes every inherited descriptor above the standard
// three before it runs its program, in one close_range(2) where the kernel
// has it. It is made with vfork, as the C library's spawn makes its children:
// copying the parent's address space for a child that only runs a program
// costs more than the program's start on a virtual machine. Its argument
// vector is built before, so that the child only makes async-signal-safe
// calls, as it must in a threaded parent.
// Waiting for a child sleeps on a process descriptor where the kernel offers
// one, so that the wait ends when the child does rather than at the next
// tick of a polling loop.
#define OV_LOG_SOURCE "base/ovplatform/src/ovplatform"

#include <ovplatform/overror.h>
#include <ovplatform/ovplatform.h>
#include <ovplatform/ovstring.h>
#include <ovplatform/ovthread.h>
#include <ovplatform/ovtime.h>

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "internal/descriptors.h"
#include "internal/raii.h"

namespace {

using namespace ov::detail;

constexpr char kShell[] = "/bin/sh";
constexpr char kShellCommandFlag[] = "-c";
constexpr int kFirstInherited = 3;
// The polling step of a wait where no process descriptor can be had.
constexpr uint32_t kWaitStepMs = 1;

// ov_platform_execl's vector: the arguments and the terminating null.
constexpr size_t kExeclVectorSize = OV_PLATFORM_EXECL_MAX_ARGS + 1;

// Closes what a child must not pass on to the program it runs. The same set
// as a close(2) of every number from 3 to the open-file limit, without a
// million system calls where the limit is that high.
void close_inherited() noexcept {
    if (open_file_limit() < kFirstInherited + 1) return;
    close_descriptors_from(kFirstInherited);
}

// The kernel's own record of a signal action (rt_sigaction(2)), which the C
// library's struct sigaction does not match.
struct KernelSigaction {
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)();
    unsigned long mask;
};

// The child of ov_platform_process_start, from vfork to the program. Until
// the exec it runs in the parent's memory, on the parent's stack below the
// caller's frame, so it is a function of its own that only reads what it is
// given. Every caught signal goes back to its default action (the child's
// table of actions is its own) before the parent's signal mask is put back,
// so that no handler of the parent's can run here; the program then starts
// with the mask and the ignored signals the caller had. The actions and the
// mask are set by system calls, not through the C library: a sanitizer's
// stand-ins for sigaction and sigprocmask keep tables in memory this child
// shares with its parent, and the C library refuses to touch the signals it
// reserves for itself, which the parent may have caught all the same.
[[noreturn]] __attribute__((noinline)) void run_child(const char *program, char *const *argv,
                                                      const sigset_t *mask) noexcept {
    for (int number = 1; number <= 64; ++number) {
        KernelSigaction action{};
        if (syscall(SYS_rt_sigaction, number, nullptr, &action, sizeof action.mask) != 0 ||
            action.handler == SIG_DFL || action.handler == SIG_IGN)
            continue;
        KernelSigaction reset{};
        reset.handler = SIG_DFL;
        (void)syscall(SYS_rt_sigaction, number, &reset, nullptr, sizeof reset.mask);
    }
    // The kernel's set is the first 64 bits of the C library's.
    (void)syscall(SYS_rt_sigprocmask, SIG_SETMASK, mask, nullptr, sizeof(unsigned long));
    close_inherited();
    // execvp straight away rather than through the exported exec call,
    // which another library could stand in for.
    execvp(program, argv);
    _exit(errno);
}

// Collects the variadic arguments up to the terminating null into argv. The
// list is passed by address, so that the caller may read on after the null.
// @return false when there are more than fit (the null is not looked for).
bool collect_arguments(va_list *args, char **argv) {
    for (size_t i = 0; i < kExeclVectorSize; ++i) {
        argv[i] = va_arg(*args, char *);
        if (argv[i] == nullptr) return true;
    }
    return false;
}

// A descriptor that becomes readable when the process ends, or -1 where
// the kernel has none (before Linux 5.3) or the process is gone already.
int open_process_descriptor(pid_t pid) {
#ifdef SYS_pidfd_open
    const long fd = syscall(SYS_pidfd_open, pid, 0);
    return fd >= 0 ? static_cast<int>(fd) : -1;
#else
    (void)pid;
    return -1;
#endif
}

// Microseconds since start by the monotonic clock; 0 when it cannot be read.
uint64_t usec_since(const ov_timeval_t &start) {
    uint64_t elapsed = 0;
    return get_usec_since_small(&start, &elapsed) == 0 ? elapsed : 0;
}

}  // namespace

extern "C" {

// ---- Fork and exec ------------------------------------------------------------------------

int32_t ov_platform_fork(pid_t *out) noexcept {
    if (out == nullptr) return EINVAL;
    const pid_t pid = fork();
    *out = pid;
    return pid < 0 ? errno : 0;
}

int32_t ov_platform_exec(const char *program, char *const argv[]) noexcept {
    if (program == nullptr || argv == nullptr) return EINVAL;
    execvp(program, argv);
    return errno;
}

int32_t ov_platform_exec_env(const char *program, char *const argv[], char *const envp[]) noexcept {
    if (envp == nullptr) return ov_platform_exec(program, argv);
    if (program == nullptr || argv == nullptr) return EINVAL;
    execvpe(program, argv, envp);
    return errno;
}

int32_t ov_platform_execl(const char *program, ...) noexcept {
    char *argv[kExeclVectorSize];
    va_list args;
    va_start(args, program);
    const bool fits = collect_arguments(&args, argv);
    va_end(args);
    if (!fits) return ERANGE;
    return ov_platform_exec(program, argv);
}

int32_t ov_platform_execle(const char *program, ...) noexcept {
    char *argv[kExeclVectorSize];
    va_list args;
    va_start(args, program);
    const bool fits = collect_arguments(&args, argv);
    char *const *envp = fits ? va_arg(args, char *const *) : nullptr;
    va_end(args);
    if (!fits) return ERANGE;
    return ov_platform_exec_env(program, argv, envp);
}

void ov_platform_close_inherited(void) noexcept {
    close_inherited();
}

// ---- Child processes ----------------------------------------------------------------------

int32_t ov_platform_process_start(pid_t *pid, const char *program, const char *const *args,
                                  size_t count) noexcept {
    if (pid == nullptr || program == nullptr || (args == nullptr && count > 0)) return EINVAL;
    if (count > OV_PLATFORM_PROCESS_VECTOR_SIZE - 2) return ERANGE;
    // exec takes its vector as char *const[]; it writes nothing through it.
    char *argv[OV_PLATFORM_PROCESS_VECTOR_SIZE];
    argv[0] = const_cast<char *>(program);
    for (size_t i = 0; i < count; ++i) argv[i + 1] = const_cast<char *>(args[i]);
    argv[count + 1] = nullptr;

    // Signals wait until the child has actions of its own: vfork lends it
    // this process's memory, and a handler run in the child would work on it.
    sigset_t all;
    sigset_t saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    const pid_t child = vfork();
    if (child == 0) run_child(program, argv, &saved);
    // Read before anything else can change it; the child's own calls set
    // errno too (it shares this thread's memory), but only after a success.
    const int err = errno;
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    if (child < 0) return err;
    *pid = child;
    return 0;
}

int32_t ov_platform_process_start_shell(pid_t *pid, const char *command) noexcept {
    if (command == nullptr) return EINVAL;
    const char *const args[] = {kShellCommandFlag, command};
    return ov_platform_process_start(pid, kShell, args, 2);
}

int32_t ov_platform_process_terminate(pid_t pid) noexcept {
    if (pid <= 0) return 0;
    return kill(pid, SIGTERM) == 0 ? 0 : errno;
}

// Ids of 0 and below are refused by the calls that collect a child: to
// waitpid(2) they name any child or a group of children, and collecting one
// of those would take its status from whoever waits for it.
int32_t ov_platform_process_poll(pid_t pid, const void * /*reserved*/, int32_t *state) noexcept {
    if (state == nullptr) return EINVAL;
    if (pid <= 0) {
        *state = OV_PLATFORM_POLL_FAILED;
        return EINVAL;
    }
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r < 0) {
        const int err = errno;
        *state = OV_PLATFORM_POLL_FAILED;
        return err;
    }
    *state = r == pid && (WIFEXITED(status) || WIFSIGNALED(status)) ? OV_PLATFORM_POLL_ENDED
                                                                    : OV_PLATFORM_POLL_RUNNING;
    return 0;
}

int32_t ov_platform_process_check_exit(pid_t pid, int32_t *state, int32_t *exit_code) noexcept {
    if (state == nullptr || pid <= 0) return EINVAL;
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r < 0) return errno;
    if (r == pid && WIFEXITED(status)) {
        *state = OV_PLATFORM_CHILD_EXITED;
        if (exit_code != nullptr) *exit_code = WEXITSTATUS(status);
    } else if (r == pid && WIFSIGNALED(status)) {
        *state = OV_PLATFORM_CHILD_KILLED;
        if (exit_code != nullptr) *exit_code = -1;
    } else {
        *state = OV_PLATFORM_CHILD_RUNNING;
    }
    return 0;
}

int32_t ov_platform_process_wait(pid_t pid, uint32_t timeout_ms, int32_t *exit_code) noexcept {
    if (pid <= 0) return EINVAL;
    ov_timeval_t start{};
    (void)ov_time_monotonic_now(&start);
    const uint64_t timeout_us = uint64_t{timeout_ms} * 1000;
    // Opened at the first look that finds the child running; a child that
    // has ended by then needs none.
    FdCloser process;
    bool process_tried = false;
    uint64_t elapsed_us = 0;
    bool waited = false;
    for (;;) {
        int32_t state = OV_PLATFORM_CHILD_RUNNING;
        const int32_t rc = ov_platform_process_check_exit(pid, &state, exit_code);
        if (rc != 0) return rc;
        if (state != OV_PLATFORM_CHILD_RUNNING) return 0;
        // The child is looked at once more after the time is up, so that one
        // ending right at the timeout is reported as ended.
        if (waited && elapsed_us >= timeout_us) return ETIMEDOUT;
        if (!process_tried) {
            process = FdCloser(open_process_descriptor(pid));
            process_tried = true;
        }
        if (process.get() >= 0) {
            // A signal ends the poll early, and so does the cap on its
            // timeout; the loop looks again and waits for what is left.
            const uint64_t left_ms = (timeout_us - elapsed_us + 999) / 1000;
            struct pollfd ended = {process.get(), POLLIN, 0};
            (void)poll(&ended, 1, static_cast<int>(left_ms < INT_MAX ? left_ms : INT_MAX));
        } else {
            (void)ov_thread_sleep_ms(kWaitStepMs);
        }
        waited = true;
        elapsed_us = usec_since(start);
    }
}

int32_t ov_platform_process_reap_any(void) noexcept {
    const pid_t r = waitpid(-1, nullptr, WNOHANG);
    if (r > 0) return 0;
    // waitpid reports children that are all still running with 0 and no
    // error value.
    if (r == 0) return EWOULDBLOCK;
    return errno;
}

int32_t ov_platform_process_exists(pid_t pid, int32_t *gone) noexcept {
    if (gone == nullptr || pid <= 0) return EINVAL;
    if (kill(pid, 0) == 0) {
        *gone = 0;
        return 0;
    }
    const int err = errno;
    if (err != ESRCH) return err;
    *gone = 1;
    return 0;
}

// ---- Environment and terminal -------------------------------------------------------------

int32_t ov_platform_setenv(const char *name, const char *value) noexcept {
    if (name == nullptr || value == nullptr) return EINVAL;
    return setenv(name, value, 1) == 0 ? 0 : errno;
}

int32_t ov_platform_getenv(const char *name, char *out, size_t size) noexcept {
    if (name == nullptr || out == nullptr || size == 0) return EINVAL;
    const char *value = std::getenv(name);
    if (value == nullptr) {
        out[0] = '\0';
        return EINVAL;
    }
    return ov_str_copy(out, value, size);
}

int32_t ov_platform_getpass(const char *prompt, const void * /*reserved*/, char *out,
                            size_t size) noexcept {
    if (prompt == nullptr || out == nullptr || size == 0) return EINVAL;
    char *text = getpass(prompt);
    if (text == nullptr) {
        out[0] = '\0';
        return EIO;
    }
    const int32_t rc = ov_str_copy(out, text, size);
    // The C library keeps the password in a buffer of its own until the
    // next call; it must not stay readable there.
    explicit_bzero(text, std::strlen(text));
    return rc;
}

}  // extern "C"
