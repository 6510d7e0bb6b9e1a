// fs_driver.cpp - runs one file-system call of the library as a whole
// process, for timing it against the command-line tools.
//
//   fs_driver copy SOURCE DESTINATION   ov_copy_file with mode 0644
//   fs_driver remove DIRECTORY          ov_dir_remove, recursive, and prints
//                                       the number of entries removed
//   fs_driver tree DIRECTORY DIRS FILES makes DIRECTORY with DIRS
//                                       subdirectories of FILES names each
//                                       (set-up, not timed)
//
// Exit status 0 on success; otherwise the code's name on standard error and
// status 1.
#include <ovplatform/overror.h>
#include <ovplatform/ovdir.h>
#include <ovplatform/ovfile.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int Report(const char *what, int32_t rc) {
    if (rc == 0) return 0;
    std::fprintf(stderr, "fs_driver: %s: %s\n", what, ov_error_name(rc));
    return 1;
}

int MakeTree(const char *top, long dirs, long files) {
    int32_t rc = ov_dir_create(top, 0755, 1);
    if (rc != 0) return Report("create", rc);
    for (long d = 0; d < dirs; ++d) {
        const std::string dir = std::string(top) + "/dir" + std::to_string(d);
        rc = ov_dir_create(dir.c_str(), 0755, 0);
        if (rc != 0) return Report("create", rc);
        // The files of a directory are hard links of its first one: a new
        // inode per file would make the tree many times more slowly on some
        // file systems, and removing a name costs both tools the same.
        const std::string first = dir + "/file-with-a-name-of-usual-length-0";
        ov_file_t handle = -1;
        rc = ov_file_create(first.c_str(), &handle, 0644);
        if (rc != 0) return Report("file", rc);
        ov_file_close(&handle);
        for (long f = 1; f < files; ++f) {
            const std::string file = dir + "/file-with-a-name-of-usual-length-" + std::to_string(f);
            rc = ov_file_link(first.c_str(), file.c_str());
            if (rc != 0) return Report("link", rc);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 4 && std::strcmp(argv[1], "copy") == 0)
        return Report("copy", ov_copy_file(argv[2], argv[3], 0644));
    if (argc == 3 && std::strcmp(argv[1], "remove") == 0) {
        uint64_t count = 0;
        const int status = Report("remove", ov_dir_remove(argv[2], 1, &count));
        std::printf("%llu\n", static_cast<unsigned long long>(count));
        return status;
    }
    if (argc == 5 && std::strcmp(argv[1], "tree") == 0)
        return MakeTree(argv[2], std::atol(argv[3]), std::atol(argv[4]));
    std::fprintf(stderr,
                 "usage: fs_driver copy SOURCE DESTINATION | remove DIRECTORY |"
                 " tree DIRECTORY DIRS FILES\n");
    return 2;
}
