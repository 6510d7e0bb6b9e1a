// ovprocess.cpp - daemons, pid files, running as another user, and child
// programs.
//
// The process module turns the calling process into a daemon, writes and
// removes pid files, switches the process to another user (run-as), starts
// child programs, directly or through "sudo" and with pipes to their standard
// streams, starts programs fully detached from the caller, and splits a
// command line into words. Account look-ups come from internal/account.h,
// the closing of inherited descriptors from internal/descriptors.h; the
// identity queries of the platform module are left to it.
//
// A child between fork and exec may belong to a threaded program, whose other
// threads can hold the allocator's or the logger's locks at the moment of
// the fork. Such a child therefore makes system calls only: its argument
// vector, environment, user record and group list are all prepared before
// the fork, and a failure there is reported through its exit status (or the
// detached start's report pipe), never through the logger.
//
// Divisions: preparation shared by the starts (arguments, environment, user
// switch, pipes); daemon and pid file; run-as; spawn; detached spawn; split.
#define OV_LOG_SOURCE "base/ovplatform/src/ovprocess"

#include <ovplatform/overror.h>
#include <ovplatform/ovfile.h>
#include <ovplatform/ovpath.h>
#include <ovplatform/ovprocess.h>
#include <ovplatform/ovstring.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "internal/account.h"
#include "internal/descriptors.h"
#include "internal/limits.h"
#include "internal/log.h"
#include "internal/ovlog_parts.h"
#include "internal/raii.h"

extern char **environ;

namespace {

using namespace ov::detail;

// The argument vector: the program (or "sudo", "-u", the user and the
// program), the arguments and the terminating null entry.
constexpr int kArgVectorSize = 200;
static_assert(OV_SPAWN_MAX_ARGS + 2 == kArgVectorSize);
static_assert(OV_SPAWN_MAX_SUDO_ARGS + 5 == kArgVectorSize);

// The most supplementary groups a user may have; the kernel's own limit.
constexpr int kMostGroups = 65536;
// Room for the group list at the first attempt; enough for nearly everyone.
constexpr int kFirstGroups = 64;

// Room for the real user's name, or its id in decimal, which decides
// whether a start needs "sudo".
constexpr size_t kUserNameSize = 512;

constexpr const char *kDevNull = "/dev/null";
constexpr const char *kSudo = "sudo";

// The daemon flag. Set before the fork, so that a daemon's children, which
// inherit it, cannot become daemons of their own.
std::atomic<bool> g_daemonized{false};

// errno after a failed call, never 0: a child's exit status of 0 would read
// as success.
int last_error() noexcept {
    return errno != 0 ? errno : EIO;
}

// ---- Preparation shared by the starts ------------------------------------------------------

// The argument vector of one start, on the caller's stack. Its entries point
// into the caller's strings; exec(2) takes them as char * but writes nothing.
struct ArgVector {
    char *entries[kArgVectorSize];
};

// Whether a start goes through "sudo", and the user whose environment the
// child is given when it does without an environment of the caller's.
struct Launch {
    bool sudo = false;
    bool user_environment = false;
    const char *user = nullptr;
    UserEntry entry;
};

// A home directory of the form "<jail>/./<home>" names a root directory and a
// home inside it. The entry's text is cut at the first "/./"; a jail that is
// empty (a home beginning with "/./") is the root itself.
void split_home(char *text, const char **jail, const char **home) noexcept {
    char *mark = std::strstr(text, "/./");
    if (mark == nullptr) {
        *jail = nullptr;
        *home = text;
        return;
    }
    *mark = '\0';
    *jail = text[0] != '\0' ? text : "/";
    *home = mark + 3;
}

// Looks up a user by name; a user without a name or a home directory counts
// as missing. @return 0 with the record, ENOENT, or the look-up's error.
int32_t find_user(const char *name, UserEntry *entry) noexcept {
    const int32_t rc = find_user_by_name(name, entry);
    if (rc != 0) return rc;
    const struct passwd *record = entry->get();
    if (record == nullptr || record->pw_name == nullptr || record->pw_name[0] == '\0' ||
        record->pw_dir == nullptr || record->pw_dir[0] == '\0')
        return ENOENT;
    return 0;
}

// The name of the real user, or the id in decimal when it has no entry.
void real_user_name(char *out, size_t size) noexcept {
    UserEntry entry;
    const uid_t uid = getuid();
    if (find_user_by_id(uid, &entry) == 0 && entry.get() != nullptr &&
        entry.get()->pw_name != nullptr) {
        (void)ov_str_copy(out, entry.get()->pw_name, size);
        return;
    }
    std::snprintf(out, size, "%lu", static_cast<unsigned long>(uid));
}

// "sudo" is used when a process that does not run as root asks for a user
// other than its real one. Without an environment of the caller's the child
// then gets the user's, for which the user must exist.
int32_t decide_launch(const char *user, char *const env[], Launch *launch) noexcept {
    if (geteuid() == 0 || user == nullptr || user[0] == '\0') return 0;
    char self[kUserNameSize];
    real_user_name(self, sizeof self);
    if (std::strcmp(self, user) == 0) return 0;
    launch->sudo = true;
    launch->user = user;
    if (env != nullptr) return 0;
    const int32_t rc = find_user(user, &launch->entry);
    if (rc != 0) {
        OV_LOG(kLogError, "Err %d getting user entry for %s", rc, user);
        return rc;
    }
    launch->user_environment = true;
    return 0;
}

int32_t check_arguments(const char *program, char *const args[], int32_t argc) noexcept {
    if (program == nullptr || argc < 0 || (argc > 0 && args == nullptr)) return EINVAL;
    for (int32_t i = 0; i < argc; ++i)
        if (args[i] == nullptr) return EINVAL;
    return 0;
}

// @return 0, or ERANGE for more arguments than the vector holds.
int32_t build_arguments(const char *program, char *const args[], int32_t argc, const Launch &launch,
                        ArgVector *vector) noexcept {
    const int32_t most = launch.sudo ? OV_SPAWN_MAX_SUDO_ARGS : OV_SPAWN_MAX_ARGS;
    if (argc > most) {
        OV_LOG(kLogError, "Err %d: %d arguments for %s, at most %d", ERANGE, argc, program, most);
        return ERANGE;
    }
    int n = 0;
    if (launch.sudo) {
        vector->entries[n++] = const_cast<char *>(kSudo);
        vector->entries[n++] = const_cast<char *>("-u");
        vector->entries[n++] = const_cast<char *>(launch.user);
    }
    vector->entries[n++] = const_cast<char *>(program);
    for (int32_t i = 0; i < argc; ++i) vector->entries[n++] = args[i];
    vector->entries[n] = nullptr;
    return 0;
}

// What both ways of starting a program do first: check the arguments,
// decide whether "sudo" is used, and build the vector to exec.
// @return 0, or the code of the step that failed.
int32_t prepare_launch(const char *program, char *const args[], int32_t argc, const char *user,
                       char *const env[], Launch *launch, ArgVector *argv) noexcept {
    int32_t rc = check_arguments(program, args, argc);
    if (rc != 0) return rc;
    rc = decide_launch(user, env, launch);
    if (rc != 0) return rc;
    return build_arguments(program, args, argc, *launch, argv);
}

// The environment of a child that runs as another user: the caller's own,
// with "USER", "LOGNAME" and "HOME" set for that user. Built before the fork,
// as setenv(3) allocates.
class ChildEnvironment {
  public:
    int32_t build(const char *name, const char *home) noexcept {
        static constexpr const char *kReplaced[] = {"USER=", "LOGNAME=", "HOME="};
        const size_t name_length = std::strlen(name);
        const size_t home_length = std::strlen(home);
        const size_t text_size = 2 * name_length + home_length + 5 + 8 + 5 + 3;
        text_.reset(static_cast<char *>(std::malloc(text_size)));
        size_t count = 0;
        for (char **e = environ; e != nullptr && *e != nullptr; ++e) ++count;
        vector_.reset(static_cast<char **>(std::malloc((count + 4) * sizeof(char *))));
        if (text_ == nullptr || vector_ == nullptr) return ENOMEM;
        size_t n = 0;
        for (char **e = environ; e != nullptr && *e != nullptr; ++e) {
            bool replaced = false;
            for (const char *prefix : kReplaced)
                replaced = replaced || std::strncmp(*e, prefix, std::strlen(prefix)) == 0;
            if (!replaced) vector_[n++] = *e;
        }
        char *text = text_.get();
        const char *values[] = {name, name, home};
        for (size_t i = 0; i < 3; ++i) {
            vector_[n++] = text;
            text += std::snprintf(text, text_size - static_cast<size_t>(text - text_.get()), "%s%s",
                                  kReplaced[i], values[i]) +
                    1;
        }
        vector_[n] = nullptr;
        return 0;
    }
    char *const *get() const noexcept { return vector_.get(); }

  private:
    std::unique_ptr<char *[], FreeDeleter> vector_;
    std::unique_ptr<char[], FreeDeleter> text_;
};

// A user to switch to, with everything the switch needs looked up, so that
// the switch itself is made of system calls alone. Holds the user's record,
// into whose text the jail and home point.
struct Identity {
    UserEntry entry;
    const char *name = nullptr;
    uid_t uid = 0;
    gid_t gid = 0;
    const char *jail = nullptr;
    const char *home = nullptr;
    bool set_groups = false;
    std::unique_ptr<gid_t[], FreeDeleter> groups;
    int group_count = 0;
};

// The user's group list, its primary group included, grown until it fits.
// @return 0, ERANGE beyond kMostGroups, or ENOMEM.
int32_t look_up_groups(Identity *identity) noexcept {
    int room = kFirstGroups;
    for (;;) {
        identity->groups.reset(static_cast<gid_t *>(std::malloc(sizeof(gid_t) * room)));
        if (identity->groups == nullptr) return ENOMEM;
        int count = room;
        if (getgrouplist(identity->name, identity->gid, identity->groups.get(), &count) >= 0) {
            identity->group_count = count;
            return 0;
        }
        // A list that did not fit reports the room it needs.
        if (count <= room || count > kMostGroups) return ERANGE;
        room = count;
    }
}

// Looks up what switching to the user needs; the group list only where it
// can be installed, as root. Logs failures in run-as's words.
int32_t prepare_identity(const char *user, Identity *identity) noexcept {
    int32_t rc = find_user(user, &identity->entry);
    if (rc != 0) {
        OV_LOG(kLogError, "Err %d getting user entry for %s in process runas", rc, user);
        return rc;
    }
    const struct passwd *record = identity->entry.get();
    identity->name = record->pw_name;
    identity->uid = record->pw_uid;
    identity->gid = record->pw_gid;
    split_home(record->pw_dir, &identity->jail, &identity->home);
    if (geteuid() != 0) return 0;
    identity->set_groups = true;
    rc = look_up_groups(identity);
    if (rc != 0) {
        OV_LOG(kLogError, "Err %d in grouplist for user %s in process runas", rc, user);
        return rc;
    }
    return 0;
}

enum class SwitchStep { kChroot, kSetGroups, kSetGid, kSetUid, kCheck };

bool ids_differ(uid_t want, uid_t real, uid_t effective, uid_t saved) noexcept {
    return real != want || effective != want || saved != want;
}

// Switches to the prepared user; async-signal-safe. The root is changed
// first, while the process may still do so, and the working directory moved
// inside it at once, so that a switch that fails later leaves no way out of
// the jail. Then the supplementary groups, the group id and the user id, in
// that order: once the user id is gone the others could no longer be set.
// Last comes the check that root cannot be regained.
// @return 0, or the failing call's errno with *step naming it.
int32_t switch_identity(const Identity &identity, SwitchStep *step) noexcept {
    const bool was_root = geteuid() == 0;
    if (identity.jail != nullptr) {
        *step = SwitchStep::kChroot;
        if (chroot(identity.jail) != 0 || chdir("/") != 0) return last_error();
    }
    if (identity.set_groups) {
        *step = SwitchStep::kSetGroups;
        if (setgroups(static_cast<size_t>(identity.group_count), identity.groups.get()) != 0)
            return last_error();
    }
    uid_t real = 0, effective = 0, saved = 0;
    gid_t real_group = 0, effective_group = 0, saved_group = 0;
    (void)getresgid(&real_group, &effective_group, &saved_group);
    if (ids_differ(identity.gid, real_group, effective_group, saved_group)) {
        *step = SwitchStep::kSetGid;
        // An unprivileged process that cannot change its group goes on in
        // its own: the user switch that follows decides.
        if (setgid(identity.gid) != 0 && geteuid() == 0) return last_error();
    }
    (void)getresuid(&real, &effective, &saved);
    if (ids_differ(identity.uid, real, effective, saved)) {
        *step = SwitchStep::kSetUid;
        if (setuid(identity.uid) != 0) return last_error();
    }
    if (was_root && identity.uid != 0) {
        *step = SwitchStep::kCheck;
        if (setuid(0) == 0 || seteuid(0) == 0) return EPERM;
        (void)getresuid(&real, &effective, &saved);
        (void)getresgid(&real_group, &effective_group, &saved_group);
        if (ids_differ(identity.uid, real, effective, saved) ||
            ids_differ(identity.gid, real_group, effective_group, saved_group))
            return EPERM;
    }
    return 0;
}

void log_switch_failure(int32_t rc, SwitchStep step, const Identity &identity) noexcept {
    switch (step) {
        case SwitchStep::kChroot:
            OV_LOG(kLogError, "Err %d while calling chroot to %s in process runas", rc,
                   identity.jail);
            break;
        case SwitchStep::kSetGroups:
            OV_LOG(kLogError, "Err %d in setgroups for user %s in process runas", rc,
                   identity.name);
            break;
        case SwitchStep::kSetGid:
            OV_LOG(kLogError, "Err %d in setGID to %d in process runas", rc,
                   static_cast<int>(identity.gid));
            break;
        case SwitchStep::kSetUid:
            OV_LOG(kLogError, "Err %d in setUID to %d in process runas", rc,
                   static_cast<int>(identity.uid));
            break;
        case SwitchStep::kCheck:
            OV_LOG(kLogError, "Err %d: root can be regained after setUID to %d in process runas",
                   rc, static_cast<int>(identity.uid));
            break;
    }
}

// Changes to the home, or to "/" when that fails. @return 0 or errno.
int32_t enter_home(const char *home) noexcept {
    if (chdir(home) == 0 || chdir("/") == 0) return 0;
    return last_error();
}

// Opens /dev/null as the target descriptor; async-signal-safe.
// @return 0 or errno.
int32_t reopen_null(int target, int flags) noexcept {
    const int fd = open(kDevNull, flags | O_CLOEXEC);
    if (fd < 0) return last_error();
    if (fd == target) {
        // Opened straight into a free standard slot: it must survive exec.
        return fcntl(fd, F_SETFD, 0) == 0 ? 0 : last_error();
    }
    const int rc = dup2(fd, target) == target ? 0 : last_error();
    close(fd);
    return rc;
}

// A pipe whose both ends lie above the standard descriptors and are closed
// on exec. A child moves its end onto 0, 1 or 2 with dup2(2), which would do
// nothing to an end that already had that number (and leave it close-on-exec)
// and could overwrite another pipe's end; the caller's ends must not leak into
// programs that other threads start.
int32_t make_pipe(FdCloser *read_end, FdCloser *write_end) noexcept {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return last_error();
    FdCloser ends[2] = {FdCloser(fds[0]), FdCloser(fds[1])};
    for (FdCloser &end : ends) {
        if (end.get() >= 3) continue;
        const int moved = fcntl(end.get(), F_DUPFD_CLOEXEC, 3);
        if (moved < 0) return last_error();
        end = FdCloser(moved);
    }
    *read_end = std::move(ends[0]);
    *write_end = std::move(ends[1]);
    return 0;
}

// The pipes to a child's standard streams, one for each pointer given.
class StreamPipes {
  public:
    StreamPipes() noexcept = default;
    StreamPipes(const StreamPipes &) = delete;
    StreamPipes &operator=(const StreamPipes &) = delete;

    // @return 0, or the errno of a pipe (the pipes made so far are closed).
    int32_t make(ov_file_t *in, ov_file_t *out, ov_file_t *err) noexcept {
        ov_file_t *targets[3] = {in, out, err};
        for (int i = 0; i < 3; ++i) {
            streams_[i].target = targets[i];
            if (targets[i] == nullptr) continue;
            FdCloser read_end, write_end;
            const int32_t rc = make_pipe(&read_end, &write_end);
            if (rc != 0) {
                for (Stream &s : streams_) {
                    (void)s.parent_end.close();
                    (void)s.child_end.close();
                }
                return rc;
            }
            // The child reads its standard input and writes the others.
            streams_[i].parent_end = std::move(i == 0 ? write_end : read_end);
            streams_[i].child_end = std::move(i == 0 ? read_end : write_end);
        }
        return 0;
    }

    // In the parent after the fork: the child's ends go, the caller gets the
    // others.
    void hand_over() noexcept {
        for (Stream &s : streams_) {
            if (s.target == nullptr) continue;
            (void)s.child_end.close();
            *s.target = s.parent_end.release();
        }
    }

    // In the child: its ends become its standard streams and every end is
    // closed; async-signal-safe. @return 0 or errno.
    int32_t connect() noexcept {
        for (int i = 0; i < 3; ++i) {
            Stream &s = streams_[i];
            if (s.target == nullptr) continue;
            if (dup2(s.child_end.get(), i) != i) return last_error();
            (void)s.child_end.close();
            (void)s.parent_end.close();
        }
        return 0;
    }

  private:
    struct Stream {
        ov_file_t *target = nullptr;
        FdCloser parent_end;
        FdCloser child_end;
    };
    Stream streams_[3];
};

// Executes the vector's program; async-signal-safe. An environment of the
// caller's is searched for as ov_path_exec does, one built here (the
// caller's own with a user's values) and none at all as execvp(3) does.
// Returns only on failure, with the errno.
int exec_program(const ArgVector &argv, char *const caller_env[],
                 char *const built_env[]) noexcept {
    const char *file = argv.entries[0];
    if (caller_env != nullptr)
        ov_path_exec(file, argv.entries, caller_env);
    else if (built_env != nullptr)
        execvpe(file, argv.entries, built_env);
    else
        execvp(file, argv.entries);
    return last_error();
}

int32_t wait_for(pid_t pid, int *status) noexcept {
    // An interrupted wait is repeated: giving up would leave the child a
    // zombie that nobody reaps.
    while (waitpid(pid, status, 0) < 0) {
        if (errno != EINTR) return last_error();
    }
    return 0;
}

// The environment of a program started for user through its account (the
// user's home from the account's record); null when it cannot be built,
// which is logged, and the program then gets the caller's environment.
char *const *login_environment(const Launch &launch, const char *user,
                               ChildEnvironment *environment) noexcept {
    const char *jail = nullptr;
    const char *home = nullptr;
    split_home(launch.entry.get()->pw_dir, &jail, &home);
    const int32_t rc = environment->build(user, home);
    if (rc != 0) {
        OV_LOG(kLogError, "Err %d while setting environment for child process", rc);
        return nullptr;
    }
    return environment->get();
}

}  // namespace

extern "C" {

// ---- Daemon and pid file ---------------------------------------------------------------------

int32_t ov_process_daemonize(ov_daemon_fn_t fn, int32_t arg, void *data, uint32_t flags) noexcept {
    if (g_daemonized.exchange(true)) {
        OV_LOG(kLogDebug, "ov_process_daemonize(): already running as a daemon");
        return EINVAL;
    }
    // Output still in the stdio buffers would otherwise be written twice, by
    // the parent and by the daemon, or by neither: the parent ends with
    // _exit, which runs none of the program's exit handlers, as these
    // belong to the daemon that goes on (one that removed a pid file or a
    // shared resource would take it from under the daemon).
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        const int rc = last_error();
        // No daemon came of it; the caller may try again.
        g_daemonized.store(false);
        return rc;
    }
    if (pid > 0) _exit(0);

    umask(0);
    int step = 0;
    if (setsid() < 0) {
        step = OV_DAEMON_STEP_SETSID;
    } else if (chdir("/") != 0) {
        step = OV_DAEMON_STEP_CHDIR;
    } else {
        // Everything inherited is closed but the logger's own files and
        // socket: closed under it, their numbers would go to the next files
        // the daemon opens, and its log lines into those files.
        int logger[ov::logging::kLoggerDescriptorsMost];
        const int kept = ov::logging::logger_descriptors(logger);
        close_descriptors_except(3, logger, kept);
        if (reopen_null(0, O_RDONLY) != 0)
            step = OV_DAEMON_STEP_STDIN;
        else if (reopen_null(1, O_WRONLY) != 0)
            step = OV_DAEMON_STEP_STDOUT;
        else if (reopen_null(2, O_WRONLY) != 0)
            step = OV_DAEMON_STEP_STDERR;
    }
    const bool exit_when_done = (flags & OV_DAEMON_EXIT_WHEN_DONE) != 0;
    if (step != 0) {
        if (exit_when_done) std::exit(step);
        return -step;
    }
    if (fn != nullptr) {
        const int32_t result = fn(arg, data);
        if (exit_when_done) std::exit(result);
        return result > 0 ? -result : result;
    }
    if (exit_when_done) std::exit(0);
    return 0;
}

int32_t ov_pidfile_create(const char *prefix, const char *name, char **path) noexcept {
    if (prefix == nullptr || name == nullptr || path == nullptr || name[0] == '\0') {
        if (path != nullptr) *path = nullptr;
        return EINVAL;
    }
    *path = nullptr;
    std::unique_ptr<char[], FreeDeleter> buffer(static_cast<char *>(std::malloc(kPathSize)));
    if (buffer == nullptr) return ENOMEM;
    char message[256];
    // A path cut to the buffer is longer than the kernel takes, so that the
    // open below refuses it rather than create another file.
    static_assert(PATH_MAX < kPathSize);
    std::snprintf(buffer.get(), kPathSize, "%s/var/run/orvane/%s.pid", prefix, name);
    char content[32];
    const int content_length =
        std::snprintf(content, sizeof content, "%lu\n", static_cast<unsigned long>(getpid()));

    ov_file_t file = -1;
    int32_t rc = ov_file_create(buffer.get(), &file, 0644);
    if (rc != 0) {
        OV_LOG(kLogError, "Unable to open pid file '%s', errno:%d, err desc:%s", buffer.get(), rc,
               ov_error_text(rc, message, sizeof message));
        return rc;
    }
    // A short write is not a failure by itself, but a pid file holding part
    // of the id would name another process: the rest is written, and a
    // write that fails (a full disk, a file size limit) removes the file.
    size_t written = 0;
    while (rc == 0 && written < static_cast<size_t>(content_length)) {
        uint64_t count = 0;
        rc = ov_file_write(&file, content + written, static_cast<size_t>(content_length) - written,
                           &count);
        if (rc == 0 && count == 0) rc = EIO;
        written += static_cast<size_t>(count);
    }
    // The truncation is for a file that was there before and changed size
    // since its open; a close can report a delayed write error on a network
    // file system. Either leaves a file that cannot be trusted.
    if (rc == 0) rc = ov_file_truncate(&file, content_length);
    const int32_t closed = ov_file_close(&file);
    if (rc == 0) rc = closed;
    if (rc != 0) {
        OV_LOG(kLogError, "Failure writing to pid file '%s', errno:%d, err desc:%s", buffer.get(),
               rc, ov_error_text(rc, message, sizeof message));
        char *created = buffer.release();
        (void)ov_pidfile_remove(&created);
        return rc;
    }
    *path = buffer.release();
    return 0;
}

int32_t ov_pidfile_remove(char **path) noexcept {
    if (path == nullptr || *path == nullptr) return EINVAL;
    const int32_t rc = ov_file_delete(*path);
    if (rc != 0) {
        char message[256];
        OV_LOG(kLogError, "Failure deleting pid file '%s', errno:%d, err desc:%s", *path, rc,
               ov_error_text(rc, message, sizeof message));
    }
    std::free(*path);
    *path = nullptr;
    return rc;
}

// ---- Run-as ------------------------------------------------------------------------------------

int32_t ov_process_runas(const char *user) noexcept {
    if (user == nullptr) {
        OV_LOG(kLogError, "Err %d getting user entry for %s in process runas", EINVAL, "(null)");
        return EINVAL;
    }
    Identity identity;
    int32_t rc = prepare_identity(user, &identity);
    if (rc != 0) return rc;
    umask(0);
    SwitchStep step = SwitchStep::kChroot;
    rc = switch_identity(identity, &step);
    if (rc != 0) {
        log_switch_failure(rc, step, identity);
        return rc;
    }
    if (setenv("USER", identity.name, 1) != 0 || setenv("LOGNAME", identity.name, 1) != 0 ||
        setenv("HOME", identity.home, 1) != 0) {
        rc = last_error();
        OV_LOG(kLogError, "Err %d while setting environment in process runas", rc);
        return rc;
    }
    return enter_home(identity.home);
}

// ---- Spawn --------------------------------------------------------------------------------------

int32_t ov_process_spawn(pid_t *pid, const char *program, char *const args[], int32_t argc,
                         const char *dir, char *const env[], uint32_t flags, ov_spawn_fn_t fn,
                         void *data, ov_file_t *in, ov_file_t *out, ov_file_t *err,
                         const char *user) noexcept {
    Launch launch;
    ArgVector argv;
    int32_t rc = prepare_launch(program, args, argc, user, env, &launch, &argv);
    if (rc != 0) return rc;
    ChildEnvironment user_env;
    char *const *built_env = nullptr;
    if (launch.user_environment) built_env = login_environment(launch, user, &user_env);
    StreamPipes pipes;
    rc = pipes.make(in, out, err);
    if (rc != 0) return rc;

    const pid_t child = fork();
    if (child < 0) return last_error();
    if (child == 0) {
        // The child: system calls only from here on.
        pid_t zero = 0;
        if (pipes.connect() != 0) _exit(last_error());
        if (flags & OV_SPAWN_CLOSE_DESCRIPTORS) close_descriptors_from(3);
        if ((flags & OV_SPAWN_STDOUT_NULL) && reopen_null(1, O_WRONLY) != 0) _exit(last_error());
        if ((flags & OV_SPAWN_STDERR_NULL) && reopen_null(2, O_WRONLY) != 0) _exit(last_error());
        if (fn != nullptr && !launch.sudo) {
            const int32_t result = fn(&zero, data);
            if (result != 0) _exit(result);
        }
        if (dir != nullptr && chdir(dir) != 0) _exit(last_error());
        _exit(exec_program(argv, env, built_env));
    }
    pipes.hand_over();
    if (pid != nullptr) *pid = child;
    return 0;
}

// ---- Detached spawn -----------------------------------------------------------------------------

int32_t ov_process_spawn_detached(const char *program, char *const args[], int32_t argc,
                                  char *const env[], const char *user, ov_file_t *in,
                                  ov_file_t *out, ov_file_t *err) noexcept {
    Launch launch;
    ArgVector argv;
    int32_t rc = prepare_launch(program, args, argc, user, env, &launch, &argv);
    if (rc != 0) return rc;

    // A user asked for without "sudo" (the caller is root, or that user
    // already) is switched to in the grandchild. Should that fail, the
    // program does not run: running it as the caller instead would give it
    // rights that were not meant for it.
    const bool run_as = user != nullptr && user[0] != '\0' && !launch.sudo;
    Identity identity;
    if (run_as) {
        rc = prepare_identity(user, &identity);
        if (rc != 0) return rc;
    }
    ChildEnvironment user_env;
    char *const *built_env = nullptr;
    if (launch.user_environment) {
        built_env = login_environment(launch, user, &user_env);
    } else if (run_as && env == nullptr) {
        rc = user_env.build(identity.name, identity.home);
        if (rc != 0) {
            OV_LOG(kLogError, "Err %d while setting environment in process runas", rc);
            return rc;
        }
        built_env = user_env.get();
    }
    StreamPipes pipes;
    rc = pipes.make(in, out, err);
    if (rc != 0) return rc;
    // The grandchild reports a failure before its program runs through this
    // pipe; a successful exec closes it empty. The caller thus learns of a
    // program that could not be started, which the intermediate process's
    // status cannot tell.
    FdCloser report_read, report_write;
    rc = make_pipe(&report_read, &report_write);
    if (rc != 0) return rc;

    const pid_t middle = fork();
    if (middle < 0) return last_error();
    if (middle == 0) {
        // The intermediate process: a session of its own, then the
        // grandchild, which is adopted by init when this one exits.
        if (setsid() < 0) _exit(last_error());
        const pid_t grandchild = fork();
        if (grandchild < 0) _exit(last_error());
        if (grandchild > 0) _exit(0);

        int report = report_write.get();
        int code = pipes.connect();
        if (code == 0) {
            // The report end is kept, at 3, for the descriptors from 4 up go.
            if (report != 3 && dup3(report, 3, O_CLOEXEC) != 3) _exit(last_error());
            report = 3;
            close_descriptors_from(4);
            if (run_as) {
                umask(0);
                SwitchStep step = SwitchStep::kChroot;
                code = switch_identity(identity, &step);
                if (code == 0) code = enter_home(identity.home);
            }
        }
        if (code == 0) code = exec_program(argv, env, built_env);
        (void)!write(report, &code, sizeof code);
        _exit(code);
    }
    (void)report_write.close();
    int status = 0;
    rc = wait_for(middle, &status);
    if (rc != 0) return rc;
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0) return WEXITSTATUS(status);
    if (WIFSIGNALED(status) && WTERMSIG(status) != SIGTRAP) return EINTR;
    int code = 0;
    ssize_t got;
    do {
        got = read(report_read.get(), &code, sizeof code);
    } while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof code) && code != 0) return code;
    pipes.hand_over();
    return 0;
}

int32_t ov_process_spawn_detached_user(const char *program, char *const args[], int32_t argc,
                                       char *const env[], const char *user) noexcept {
    return ov_process_spawn_detached(program, args, argc, env, user, nullptr, nullptr, nullptr);
}

int32_t ov_process_spawn_detached_simple(const char *program, char *const args[], int32_t argc,
                                         char *const env[]) noexcept {
    return ov_process_spawn_detached(program, args, argc, env, nullptr, nullptr, nullptr, nullptr);
}

// ---- Split --------------------------------------------------------------------------------------

int32_t ov_process_split_args(const char *text, char ***words, int32_t *count) noexcept {
    if (words == nullptr || count == nullptr) return EINVAL;
    *words = nullptr;
    *count = 0;
    if (text == nullptr) return 0;

    char **list = nullptr;
    int32_t listed = 0;
    size_t room = 0;
    char *word = nullptr;
    size_t word_size = 0;
    size_t word_length = 0;
    bool in_word = false;
    int32_t rc = 0;

    // Ends the current word: the list grows by doubling from 16 entries.
    auto finish_word = [&]() noexcept -> int32_t {
        if (static_cast<size_t>(listed) == room) {
            const size_t grown = room == 0 ? 16 : room * 2;
            if (grown > INT32_MAX) return ENOMEM;
            auto *larger = static_cast<char **>(std::realloc(list, grown * sizeof(char *)));
            if (larger == nullptr) return ENOMEM;
            list = larger;
            room = grown;
        }
        list[listed++] = word;
        word = nullptr;
        word_size = 0;
        word_length = 0;
        in_word = false;
        return 0;
    };

    for (const char *p = text; *p != '\0' && rc == 0;) {
        if (*p == ' ') {
            if (in_word) rc = finish_word();
            ++p;
            continue;
        }
        const char *piece = p;
        size_t length;
        if (*p == '"' || *p == '\'') {
            const char *close = std::strchr(p + 1, *p);
            if (close == nullptr) {
                rc = EINVAL;
                break;
            }
            piece = p + 1;
            length = static_cast<size_t>(close - piece);
            p = close + 1;
        } else {
            length = std::strcspn(p, " \"'");
            p += length;
        }
        rc = ov_strn_to_alloc(&word, piece, length, &word_size, &word_length);
        in_word = true;
    }
    if (rc == 0 && in_word) rc = finish_word();
    if (rc != 0) {
        std::free(word);
        ov_process_split_args_free(&list, &listed);
        return rc;
    }
    *words = list;
    *count = listed;
    return 0;
}

void ov_process_split_args_free(char ***words, int32_t *count) noexcept {
    if (words == nullptr) return;
    if (*words != nullptr) {
        const int32_t n = count != nullptr ? *count : 0;
        for (int32_t i = 0; i < n; ++i) std::free((*words)[i]);
        std::free(*words);
    }
    *words = nullptr;
    if (count != nullptr) *count = 0;
}

}  // extern "C"
