/* consumer.c - a C program built against an installed ovplatform.
 *
 * The install test builds this file through pkg-config and through
 * find_package(ovplatform), linked to the static and to the shared library.
 * Each call below pulls in a different part of the library: the error tables,
 * the string functions, libuuid behind the identifiers, and the lock files
 * with their threads, so a link interface that misses a dependency shows up
 * as a link error and a wrong installation as a wrong answer.
 */
#include <ovplatform/ov.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int failures = 0;

static void expect(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "consumer.c: wrong answer: %s\n", what);
        ++failures;
    }
}

int main(void) {
    char text[128];
    expect(strcmp(ov_error_name(ELOCKED), "ELOCKED") == 0, "ov_error_name(ELOCKED)");
    expect(ov_error_string(EBUFFER, text, sizeof text) == 0 &&
               strcmp(text, "Insufficient buffer space") == 0,
           "ov_error_string(EBUFFER)");
    expect(
        strcmp(ov_lockfile_strerror(ELOCKED, text, sizeof text), "locked by another process") == 0,
        "ov_lockfile_strerror(ELOCKED)");

    size_t pos = 0;
    expect(ov_str_printf_to(text, 8, &pos, "%s-%d", "abc", 12345) == EBUFFER &&
               strcmp(text, "abc-123") == 0 && pos == 7,
           "ov_str_printf_to cut to 8 bytes");

    uint8_t id[16];
    uint8_t parsed[16];
    char id_text[37];
    expect(ov_uuid_generate(id) == 0 && ov_uuid_to_string(id, id_text) == 0 &&
               strlen(id_text) == 36 && id_text[8] == '-' && id_text[23] == '-',
           "ov_uuid_generate and ov_uuid_to_string");
    expect(ov_uuid_parse(id_text, parsed) == 0 && memcmp(id, parsed, sizeof id) == 0,
           "ov_uuid_parse of the generated identifier");

    /* A lock with its keep-alive worker thread, in a directory of its own. */
    char dir[] = "/tmp/ovconsumer.XXXXXX";
    expect(mkdtemp(dir) != NULL, "mkdtemp");
    char name[64];
    snprintf(name, sizeof name, "%s/job", dir);
    ov_lockfile_t lock;
    memset(&lock, 0, sizeof lock);
    int32_t rc = ov_lockfile_acquire_continuous(&lock, name, 60);
    expect(rc == 0 && ov_lockfile_is_locked(&lock) && ov_lockfile_is_worker_running(&lock),
           "ov_lockfile_acquire_continuous");
    /* A second handle waits a moment for it and finds it busy. */
    ov_lockfile_t other;
    ov_lockfile_wait_t wait = OV_LOCKFILE_WAIT_INIT;
    wait.timeout_ms = 100;
    expect(ov_lockfile_acquire_wait(&other, name, 60, &wait) == ELOCKED &&
               !ov_lockfile_is_locked(&other),
           "ov_lockfile_acquire_wait on a held lock");
    snprintf(name, sizeof name, "%s/job.lck", dir);
    expect(access(name, F_OK) == 0, "lock file exists while held");
    expect(ov_lockfile_release(&lock) == 0, "ov_lockfile_release");
    expect(access(name, F_OK) != 0, "lock file gone after release");
    rmdir(dir);

    if (failures == 0) puts("consumer.c: ok");
    return failures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
