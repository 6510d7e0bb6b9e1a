/* rotating_log.c - logs to a ring of files that rotates by size.
 *
 * The log path DIRECTORY/app.log:1 asks for files of at most 1 MiB: lines
 * go to app.0.log until it is full, then to app.1.log, and so on; after the
 * highest number the ring starts again at app.0.log, so the disk never holds
 * more than a few files. app.log is a hard link to the file being written,
 * so `tail -F DIRECTORY/app.log` follows the log across rotations.
 *
 * Usage: rotating_log DIRECTORY   (writes 16000 lines, about 2.5 MiB)
 * Prints the ring files it finds afterwards and which one app.log names.
 * Exit status: 0 done, 1 failure.
 */
#include <ovplatform/ov.h>

#include <stdio.h>

/* About 2.5 MiB of log lines. */
#define LINES 16000

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: rotating_log DIRECTORY\n");
        return 1;
    }
    const char *dir = argv[1];
    char path[4096];

    ov_platform_init();

    /* At most four files of 1 MiB each: app.0.log to app.3.log. Errors
     * (levels 0 and 1) also go to standard error. */
    ov_log_set_max_file_number(3);
    ov_log_set_stderr_level(1);
    snprintf(path, sizeof path, "%s/app.log:1", dir);
    int32_t rc = ov_log_open(OV_LOG_FILE, path);
    if (rc != 0) {
        char text[256];
        fprintf(stderr, "rotating_log: cannot log to %s: %s\n", path,
                ov_error_text(rc, text, sizeof text));
        ov_platform_fini();
        return 1;
    }
    for (int i = 1; i <= LINES; i++) {
        ov_log(3, __FILE__, __LINE__, "record %d of %d: %s", i, LINES,
               "the quick brown fox jumps over the lazy dog; the quick brown fox jumps "
               "over the lazy dog");
    }
    /* Closing forces the files to disk. */
    ov_log_close();

    /* What the ring holds now. */
    ov_stat_t link;
    snprintf(path, sizeof path, "%s/app.log", dir);
    if (ov_file_stat(path, &link, 0) != 0) {
        fprintf(stderr, "rotating_log: %s is missing\n", path);
        ov_platform_fini();
        return 1;
    }
    for (int n = 0; n <= 9; n++) {
        ov_stat_t file;
        snprintf(path, sizeof path, "%s/app.%d.log", dir, n);
        if (ov_file_stat(path, &file, 0) != 0) continue;
        printf("app.%d.log: %s%s\n", n, file.size >= 1024 * 1024 ? "full" : "being written",
               file.ino == link.ino ? " (app.log)" : "");
    }
    ov_platform_fini();
    return 0;
}
