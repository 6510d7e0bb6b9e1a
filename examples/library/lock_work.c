/* lock_work.c - does its work while it holds a lock file, waiting for
 * another holder to finish first.
 *
 * The wait is the library's own (ov_lockfile_acquire_wait): a release on
 * this host wakes the waiter at once, a stale lock left by a holder that
 * died is taken over, and a signal ends the wait cleanly through a pipe
 * that the handler writes to. While the work runs, a keep-alive thread
 * keeps the lock fresh; the work checks now and then that the lock is
 * still its own.
 *
 * Usage: lock_work NAME [WAIT-SECONDS]   (the lock file is NAME.lck;
 *        default wait 10 s)
 * Exit status: 0 done, 1 still busy after the wait, 2 interrupted,
 * 3 the lock was lost during the work, 4 any other failure.
 */
#define _GNU_SOURCE /* pipe2 */
#include <ovplatform/ov.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

/* A lock older than this without a refresh is stale; the keep-alive thread
 * refreshes it well within that. */
#define EXPIRATION_SECONDS 10

/* A lock handle is large (it holds the lock's path); keep it off the stack. */
static ov_lockfile_t lock;
static int cancel_pipe[2] = {-1, -1};

static void on_signal(int signo) {
    (void)signo;
    const int saved = errno;
    const char byte = 1;
    /* The pipe's read end becoming readable ends the wait. */
    const ssize_t written = write(cancel_pipe[1], &byte, 1);
    (void)written;
    errno = saved;
}

int main(int argc, char **argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: lock_work NAME [WAIT-SECONDS]\n");
        return 4;
    }
    const char *name = argv[1];
    const long wait_seconds = argc > 2 ? strtol(argv[2], NULL, 10) : 10;
    char text[256];

    if (pipe2(cancel_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        perror("lock_work: pipe");
        return 4;
    }
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);

    ov_platform_init();

    char fault_dir[4096];
    ov_lockfile_wait_t wait = OV_LOCKFILE_WAIT_INIT;
    wait.timeout_ms = wait_seconds * 1000;
    wait.cancel_fd = cancel_pipe[0];
    wait.fault_dir = fault_dir;
    wait.fault_dir_size = sizeof fault_dir;

    int32_t rc = ov_lockfile_acquire_wait(&lock, name, EXPIRATION_SECONDS, &wait);
    if (rc == ELOCKED) {
        /* The one code for "another holder has it" once the wait is over;
         * last_seen is that holder's record. */
        printf("busy after %ld s: %s.lck is held by %s\n", wait_seconds, name, lock.last_seen);
        ov_platform_fini();
        return 1;
    }
    if (rc == ECANCELED) {
        printf("interrupted while waiting for %s.lck\n", name);
        ov_platform_fini();
        return 2;
    }
    if (rc != 0) {
        if (fault_dir[0] != '\0') {
            printf("cannot hold a lock in %s: %s\n", fault_dir,
                   ov_error_text(rc, text, sizeof text));
        } else {
            printf("cannot lock %s: %s\n", name, ov_lockfile_strerror(rc, text, sizeof text));
        }
        ov_platform_fini();
        return 4;
    }
    printf("holding %s.lck\n", name);

    /* From here on a thread keeps the lock fresh. */
    rc = ov_lockfile_start_worker(&lock);
    if (rc != 0) {
        printf("cannot keep the lock fresh: %s\n", ov_error_text(rc, text, sizeof text));
        ov_lockfile_release(&lock);
        ov_platform_fini();
        return 4;
    }

    int status = 0;
    for (int step = 1; step <= 3; step++) {
        const struct timespec pause = {0, 100 * 1000 * 1000};
        nanosleep(&pause, NULL); /* the work */
        if (ov_lockfile_is_lost(&lock)) {
            printf("lost the lock to %s; stopping\n", lock.last_seen);
            status = 3;
            break;
        }
        printf("step %d of 3 done\n", step);
    }

    /* Stops the keep-alive thread and deletes the lock file. */
    rc = ov_lockfile_release(&lock);
    if (rc != 0 && status == 0) {
        printf("release: %s\n", ov_lockfile_strerror(rc, text, sizeof text));
        status = 4;
    } else if (status == 0) {
        printf("released %s.lck\n", name);
    }
    ov_platform_fini();
    return status;
}
