// walk_tree.cpp - lists a directory tree in name order, with each file's
// size and the totals.
//
// The walk (ov::dir_walk) goes depth-first and follows symbolic links; it
// reports the end of each directory as an "up" entry, which a listing skips.
// The owners close what they hold on every path out of main.
//
// Usage: walk_tree DIRECTORY
// Exit status: 0 done, 1 failure.
#include <ovplatform/ovplatform.hpp>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct entry {
    std::string path;  // below the root
    bool directory;
    int64_t size;
};

int fail(const char *what, const std::string &path, const std::error_code &error) {
    std::fprintf(stderr, "walk_tree: %s %s: %s\n", what, path.c_str(), error.message().c_str());
    return 1;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: walk_tree DIRECTORY\n");
        return 1;
    }
    const auto session = ov::platform_session::start();
    const std::string root = argv[1];

    auto walk = ov::dir_walk::open(root);
    if (!walk) return fail("cannot walk", root, walk.error());

    std::vector<entry> entries;
    std::string path;
    for (;;) {
        int32_t type = 0;
        const std::error_code error = walk->next(path, &type);
        if (error.value() == EDIREND) break;
        if (error) return fail("cannot read", path, error);
        if (type == OV_DIR_WALK_UP || path == root) continue;

        ov_stat_t status{};
        const std::error_code stat_error =
            ov::make_error_code(ov_file_stat(path.c_str(), &status, 0));
        if (stat_error) return fail("cannot stat", path, stat_error);
        entries.push_back({path.substr(root.size() + 1), type == OV_DIR_WALK_DIR, status.size});
    }

    // Name order within each directory, a directory's contents right after
    // it: '/' sorts before every other character, so "sub/x" comes before
    // "sub.txt".
    std::sort(entries.begin(), entries.end(), [](const entry &a, const entry &b) {
        return std::lexicographical_compare(
            a.path.begin(), a.path.end(), b.path.begin(), b.path.end(), [](char x, char y) {
                const auto rank = [](char c) {
                    return c == '/' ? 0 : static_cast<unsigned char>(c) + 1;
                };
                return rank(x) < rank(y);
            });
    });
    int directories = 0, files = 0;
    int64_t bytes = 0;
    for (const entry &e : entries) {
        // Two spaces for each directory above the entry.
        const auto depth = std::count(e.path.begin(), e.path.end(), '/');
        const std::string name = e.path.substr(e.path.rfind('/') + 1);
        if (e.directory) {
            ++directories;
            std::printf("%*s%s/\n", static_cast<int>(2 * depth), "", name.c_str());
        } else {
            ++files;
            bytes += e.size;
            std::printf("%*s%s  %lld bytes\n", static_cast<int>(2 * depth), "", name.c_str(),
                        static_cast<long long>(e.size));
        }
    }
    std::printf("%d directories, %d files, %lld bytes\n", directories, files,
                static_cast<long long>(bytes));
    return 0;
}
