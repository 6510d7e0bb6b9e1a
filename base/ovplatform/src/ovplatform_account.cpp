// ovplatform_account.cpp - look-ups of users and groups for the other modules.
//
// Part of the platform module: the library's one place that asks the account
// data base for a user or a group, by name or by id (internal/account.h).
// Ownership changes and home directories use it today, and the identity and
// process operations will. It logs nothing; its callers know what a missing
// account means to them.
#include <cerrno>
#include <cstdlib>

#include "internal/account.h"

namespace ov::detail {

int32_t AccountScratch::grow() noexcept {
    if (size_ >= kAccountScratchMost) return ERANGE;
    const size_t size = size_ * 2;
    // The old text is of no use: the look-up starts again from the beginning.
    heap_.reset(static_cast<char *>(std::malloc(size)));
    if (heap_ == nullptr) {
        size_ = kAccountScratchFirst;
        return ENOMEM;
    }
    size_ = size;
    return 0;
}

int32_t find_user_by_name(const char *name, UserEntry *entry) noexcept {
    return entry->look_up(getpwnam_r, name);
}

int32_t find_user_by_id(uid_t id, UserEntry *entry) noexcept {
    return entry->look_up(getpwuid_r, id);
}

int32_t find_group_by_name(const char *name, GroupEntry *entry) noexcept {
    return entry->look_up(getgrnam_r, name);
}

int32_t find_group_by_id(gid_t id, GroupEntry *entry) noexcept {
    return entry->look_up(getgrgid_r, id);
}

}  // namespace ov::detail
