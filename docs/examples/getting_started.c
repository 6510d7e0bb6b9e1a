/* getting_started.c - a first program against ovplatform: it starts the
 * library, logs to standard error and does its work while it holds a lock
 * file, so that two copies never work at the same time.
 *
 * Usage: getting_started [LOCK-NAME]   (the lock file is LOCK-NAME.lck)
 * Exit status: 0 done, 2 another holder has the lock, 1 any other failure.
 */
#include <ovplatform/ov.h>

#include <stdio.h>

/* A lock handle is large (it holds the lock's path); keep it off the stack. */
static ov_lockfile_t lock;

int main(int argc, char **argv) {
    const char *name = argc > 1 ? argv[1] : "/tmp/getting_started";
    char text[256];

    ov_platform_init();

    /* "-" sends the log lines to standard error alone; levels up to 3 are
     * logged by default. */
    int32_t rc = ov_log_open(OV_LOG_FILE, "-");
    if (rc != 0) {
        fprintf(stderr, "cannot log: %s\n", ov_error_text(rc, text, sizeof text));
        return 1;
    }
    ov_log(3, __FILE__, __LINE__, "starting with the lock %s.lck", name);

    /* Takes the lock (a lock left behind by a holder that died is taken
     * over after 60 seconds without a refresh) and starts the thread that
     * keeps it fresh while the work runs. */
    rc = ov_lockfile_acquire_continuous(&lock, name, 60);
    if (rc == ELOCKED || rc == EEXIST) {
        /* Both mean that another holder has the lock. */
        ov_log(1, __FILE__, __LINE__, "busy: %s", ov_lockfile_strerror(rc, text, sizeof text));
        ov_log_close();
        ov_platform_fini();
        return 2;
    }
    if (rc != 0) {
        ov_log(1, __FILE__, __LINE__, "cannot lock %s: %s (%s)", name, ov_error_name(rc),
               ov_lockfile_strerror(rc, text, sizeof text));
        ov_log_close();
        ov_platform_fini();
        return 1;
    }

    /* The work. A long job checks now and then that the lock is still its
     * own: the keep-alive thread sets lost when another process took the
     * lock over. */
    ov_log(3, __FILE__, __LINE__, "working under the lock");
    int lost = ov_lockfile_is_lost(&lock);

    rc = ov_lockfile_release(&lock);
    ov_log(3, __FILE__, __LINE__, "done: lock %s, release %s", lost ? "lost" : "kept",
           ov_error_name(rc));
    ov_log_close();
    ov_platform_fini();
    return lost || rc != 0 ? 1 : 0;
}
