// ovpath_install.cpp - the directories of an installation, found from a path
// inside it.
//
// An installation is recognised by two marker files: "product-info.mf" in
// its root and "orvane.conf" in its configuration directory. Every search
// starts at the directory of a path inside the installation (usually the
// running program, see ov_path_executable), tries that directory and the
// ones up to two levels above it in a fixed order, and falls back to the
// usual layout (root/bin/program, root/etc, root/lib) when no marker is
// found. The fixed default installation directory of the library is a
// separate matter and lives with the identity operations.
//
// This is part of the path module; it logs nothing. Results are lengths or
// -1, except where a function's comment in ovpath.h says otherwise.
#include <ovplatform/overror.h>
#include <ovplatform/ovfile.h>
#include <ovplatform/ovpath.h>
#include <ovplatform/ovstring.h>

#include <cstring>

#include "internal/limits.h"

namespace {

constexpr char kProductInfoName[] = "product-info.mf";
constexpr char kConfigName[] = "orvane.conf";
using namespace ov::detail;
// The start path's directory as ov_path_parent leaves it, with one byte to
// spare over a path buffer.
constexpr size_t kDirSize = kPathSize + 1;

// The directories tried for a configuration file, relative to the start
// path's directory, in the order they are tried.
constexpr const char *kConfigPlaces[] = {"", "etc", "..", "../etc", "../..", "../../etc"};

enum class Probe { kFound, kMissing, kNoRoom };

bool ends_with_slash(const char *text, size_t length) {
    return length > 0 && text[length - 1] == '/';
}

// Puts dir + '/' + name into out when it fits the search's size rule and
// reports whether it exists (following links). A directory that already
// ends with '/' is a root ("/", "D:/", "//server/share/") and gets no second
// '/': "//name" would read as a network root to everything downstream.
Probe probe_file(const char *dir, const char *name, size_t name_length, char *out, size_t size) {
    const size_t dir_length = std::strlen(dir);
    if (dir_length + name_length + 2 > size) return Probe::kNoRoom;
    size_t pos = dir_length;
    std::memcpy(out, dir, dir_length);
    if (!ends_with_slash(dir, dir_length)) out[pos++] = '/';
    std::memcpy(out + pos, name, name_length + 1);
    return ov_file_exists(out, 0) ? Probe::kFound : Probe::kMissing;
}

// The canonical form of dir with the relative place below it, written to
// out (kPathSize bytes). dir is cut where needed so that the joined text and
// its NUL fit; as in probe_file, a root gets no second '/'.
bool place_below(const char *dir, const char *place, char *out) {
    const size_t place_length = std::strlen(place);
    size_t dir_length = std::strlen(dir);
    const size_t slash = place_length > 0 && !ends_with_slash(dir, dir_length) ? 1 : 0;
    const size_t room = kPathSize - 1 - place_length - slash;
    if (dir_length > room) dir_length = room;
    std::memcpy(out, dir, dir_length);
    size_t pos = dir_length;
    if (slash) out[pos++] = '/';
    std::memcpy(out + pos, place, place_length + 1);
    return ov_path_canonical(out, out, kPathSize) == 0;
}

// Appends "/" and a directory name to the installation directory in out.
// The room asked for is that of the longer name plus a spare byte, as the
// callers' contract promises, also when the text is a root and the '/' is
// left out.
int append_dir(char *out, size_t size, const char *name) {
    size_t length = std::strlen(out);
    if (length + 5 > size) return -1;
    if (!ends_with_slash(out, length)) out[length++] = '/';
    const size_t name_length = std::strlen(name);
    std::memcpy(out + length, name, name_length + 1);
    return static_cast<int>(length + name_length);
}

}  // namespace

extern "C" {

const char *ov_path_product_info_name(void) noexcept {
    return kProductInfoName;
}

int ov_path_search_dirs(const char *name, const char *const *dirs, char *out,
                        size_t size) noexcept {
    if (name == nullptr || name[0] == '\0' || dirs == nullptr || out == nullptr) return -1;
    const size_t name_length = std::strlen(name);
    for (; *dirs != nullptr; ++dirs) {
        switch (probe_file(*dirs, name, name_length, out, size)) {
            case Probe::kFound:
                return 0;
            case Probe::kNoRoom:
                return -1;
            case Probe::kMissing:
                break;
        }
    }
    return -1;
}

int ov_path_product_root(const char *start, char *out, size_t size) noexcept {
    if (start == nullptr || out == nullptr || size == 0) return -1;
    char dir[kDirSize];
    if (ov_path_parent(start, dir, sizeof dir) < 0) return -1;
    char up[kPathSize];
    char up_two[kPathSize];
    if (!place_below(dir, "..", up) || !place_below(dir, "../..", up_two)) return -1;
    const char *const dirs[] = {dir, up, up_two, nullptr};
    if (ov_path_search_dirs(kProductInfoName, dirs, out, size) == 0)
        return ov_path_parent(out, out, size);
    // No marker: the program is taken to sit in root/bin. The copy's own
    // code is the result, so that a cut root is not mistaken for a length.
    return ov_str_copy(out, up, size);
}

int ov_path_find_config(const char *name, const char *start, char *out, size_t size) noexcept {
    if (name == nullptr || name[0] == '\0' || start == nullptr || out == nullptr) return -1;
    char dir[kDirSize];
    if (ov_path_parent(start, dir, sizeof dir) < 0) return -1;
    const size_t name_length = std::strlen(name);
    // One candidate at a time, so that a single work buffer does for all.
    char candidate[kPathSize];
    for (const char *place : kConfigPlaces) {
        if (!place_below(dir, place, candidate)) return -1;
        switch (probe_file(candidate, name, name_length, out, size)) {
            case Probe::kFound:
                return static_cast<int>(std::strlen(out));
            case Probe::kNoRoom:
                return -1;
            case Probe::kMissing:
                break;
        }
    }
    return -1;
}

int ov_path_config_dir(const char *start, char *out, size_t size) noexcept {
    if (out == nullptr || size == 0) return -1;
    if (ov_path_find_config(kConfigName, start, out, size) >= 0)
        return ov_path_parent(out, out, size);
    const int rc = ov_path_product_root(start, out, size);
    if (rc < 0) return rc;
    return append_dir(out, size, "etc");
}

int ov_path_lib_dir(const char *start, char *out, size_t size) noexcept {
    if (out == nullptr || size == 0) return -1;
    int rc = ov_path_find_config(kConfigName, start, out, size);
    if (rc >= 0) {
        // root/etc/orvane.conf: two levels up is the root.
        rc = ov_path_parent(out, out, size);
        if (rc >= 0) rc = ov_path_parent(out, out, size);
    } else {
        rc = ov_path_product_root(start, out, size);
    }
    if (rc < 0) return rc;
    return append_dir(out, size, "lib");
}

}  // extern "C"
