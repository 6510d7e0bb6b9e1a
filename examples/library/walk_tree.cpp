// walk_tree.cpp - lists a directory tree in name order, with each file's
// size and the totals.
//
// The walk (ov::dir_walk) goes depth-first. It follows symbolic links, so a
// link to a directory above would lead it round forever: the listing shows
// links by name (with an @) and never enters them. An entry that cannot be
// looked at is reported and the walk goes on, as find(1) does. The walk
// reports the end of each directory as an "up" entry, which the listing
// skips. The owners close what they hold on every path out of main.
//
// Usage: walk_tree DIRECTORY
// Exit status: 0 done, 1 something could not be listed.
#include <ovplatform/ovplatform.hpp>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

enum class kind { file, directory, link };

struct entry {
    std::string path;  // below the root
    kind type;
    int64_t size;
};

void report(const char *what, const std::string &path, const std::error_code &error) {
    std::fprintf(stderr, "walk_tree: %s %s: %s\n", what, path.c_str(), error.message().c_str());
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
    if (!walk) {
        report("cannot walk", root, walk.error());
        return 1;
    }

    std::vector<entry> entries;
    bool failed = false;
    std::string path;
    for (;;) {
        int32_t type = 0;
        const std::error_code error = walk->next(path, &type);
        if (error.value() == EDIREND) break;
        if (error && path.empty()) {
            report("cannot read below", root, error);
            return 1;
        }
        if (!error && type == OV_DIR_WALK_UP) continue;

        // The entry's path below the root.
        std::string below = path.substr(std::min(path.size(), root.size()));
        below.erase(0, below.find_first_not_of('/'));

        ov_stat_t own{};
        if (ov_file_stat(path.c_str(), &own, OV_STAT_NOFOLLOW) == 0 &&
            own.type == OV_FILE_TYPE_LINK) {
            // The walk has just entered a linked directory: leave it at once.
            if (!error && type == OV_DIR_WALK_DIR) (void)walk->pop();
            entries.push_back({below, kind::link, 0});
            continue;
        }
        if (error) {
            report("cannot look at", path, error);
            failed = true;
            continue;
        }
        entries.push_back(
            {below, type == OV_DIR_WALK_DIR ? kind::directory : kind::file, own.size});
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
    int directories = 0, files = 0, links = 0;
    int64_t bytes = 0;
    for (const entry &e : entries) {
        // Two spaces for each directory above the entry.
        const int indent = 2 * static_cast<int>(std::count(e.path.begin(), e.path.end(), '/'));
        const char *name = e.path.c_str() + (e.path.rfind('/') + 1);
        switch (e.type) {
            case kind::directory:
                ++directories;
                std::printf("%*s%s/\n", indent, "", name);
                break;
            case kind::link:
                ++links;
                std::printf("%*s%s@\n", indent, "", name);
                break;
            case kind::file:
                ++files;
                bytes += e.size;
                std::printf("%*s%s  %lld bytes\n", indent, "", name,
                            static_cast<long long>(e.size));
                break;
        }
    }
    std::printf("%d directories, %d files, %d links, %lld bytes\n", directories, files, links,
                static_cast<long long>(bytes));
    return failed ? 1 : 0;
}
