// ovplatform_identity.cpp - the user the process runs for, and the names of
// users and groups.
//
// Part of the platform module. Names of user and group ids come from the
// account data base; an id without an account is given as its decimal
// digits, so that a listing or a log line always has something to show. The
// current user's name reconciles the environment with the process owner:
// a non-empty "USER", else a "LOGNAME" that is set (even to an empty text),
// wins, as a program run with su or sudo expects, and a disagreement is only
// logged.
//
// Every look-up by id or by name for a name goes through the re-entrant
// account helper (internal/account.h) instead of getpwuid(3) and its
// relatives: the results are the same, and the static record those calls
// share is what made two threads' look-ups overwrite each other. The two
// look-ups into a caller's buffer (ov_platform_user_lookup and
// ov_platform_group_lookup) call the re-entrant functions directly: the
// caller's buffer and its size are their interface.
#define OV_LOG_SOURCE "base/ovplatform/src/ovplatform"

#include <ovplatform/overror.h>
#include <ovplatform/ovplatform.h>
#include <ovplatform/ovstring.h>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "internal/account.h"
#include "internal/log.h"

namespace {

using namespace ov::detail;

constexpr char kUsr[] = "ov_platform_usr";
// ov_error_text's buffer for the failure line of ov_platform_usr.
constexpr size_t kErrorTextSize = 4096;

bool has_text(const char *text) {
    return text != nullptr && text[0] != '\0';
}

// The id in decimal, for an id without an account.
int32_t write_id(uint32_t id, char *out, size_t size) {
    return ov_str_printf_to(out, size, nullptr, "%u", id);
}

// Ends ov_platform_usr with a failure: the buffer is left empty rather than
// holding a cut or half-decided name.
int32_t usr_failed(int32_t code, char *out, size_t size) {
    if (out != nullptr && size > 0) out[0] = '\0';
    char text[kErrorTextSize];
    OV_LOG(kLogError, "Failed to resolve user name, errno:%d, err desc:%s", code,
           ov_error_text(code, text, sizeof text));
    return code;
}

}  // namespace

extern "C" {

int32_t ov_platform_usr(char *out, size_t size) noexcept {
    if (out == nullptr) return EINVAL;
    if (size == 0) return usr_failed(EINVAL, out, size);
    out[0] = '\0';

    // Both variables are copied before the process owner is looked up, so
    // that a name too long for the buffer fails the same way whoever the
    // owner is.
    const char *user = std::getenv("USER");
    int32_t rc = ov_str_copy(out, user != nullptr ? user : "", size);
    if (rc != 0) return usr_failed(rc, out, size);
    const char *environment_name = user;
    if (!has_text(user)) {
        // LOGNAME, once set, is the answer as it stands, even when it is
        // empty: whoever set it empty chose that, and the owner's name
        // replaces only a LOGNAME that is not there.
        const char *logname = std::getenv("LOGNAME");
        rc = ov_str_copy(out, logname != nullptr ? logname : "", size);
        if (rc != 0) return usr_failed(rc, out, size);
        environment_name = logname;
    }

    UserEntry owner;
    const passwd *account = find_user_by_id(getuid(), &owner) == 0 ? owner.get() : nullptr;
    if (account == nullptr || account->pw_name == nullptr) {
        OV_LOG(kLogInfo, "%s(): Failed to getpwuid()", kUsr);
        return environment_name != nullptr ? 0 : usr_failed(EINVAL, out, size);
    }
    if (environment_name == nullptr) {
        OV_LOG(kLogDebug, "%s(): Env $USER name unset, using process owner name '%s'", kUsr,
               account->pw_name);
        // A cut account name is not the user's name: it fails like a cut
        // variable.
        rc = ov_str_copy(out, account->pw_name, size);
        return rc == 0 ? 0 : usr_failed(rc, out, size);
    }
    if (std::strcmp(account->pw_name, environment_name) != 0)
        OV_LOG(kLogInfo, "%s(): Process owner '%s' and env $USER name '%s' mismatch, using latter",
               kUsr, account->pw_name, environment_name);
    return 0;
}

int32_t ov_platform_uid(uid_t *out) noexcept {
    if (out == nullptr) return EINVAL;
    *out = getuid();
    return 0;
}

int32_t ov_platform_user_name(uid_t uid, char *out, size_t size) noexcept {
    // Checked here, as the bounded copy would log a misuse for these.
    if (out == nullptr || size == 0) return EINVAL;
    UserEntry entry;
    const int32_t rc = find_user_by_id(uid, &entry);
    if (rc == 0 && entry.get() != nullptr && entry.get()->pw_name != nullptr)
        return ov_str_copy(out, entry.get()->pw_name, size);
    OV_LOG(kLogDebug, "uname not found for uid [%u] errno [%d]", static_cast<unsigned>(uid), rc);
    return write_id(uid, out, size);
}

int32_t ov_platform_group_name(gid_t gid, char *out, size_t size) noexcept {
    if (out == nullptr || size == 0) return EINVAL;
    GroupEntry entry;
    const int32_t rc = find_group_by_id(gid, &entry);
    if (rc == 0 && entry.get() != nullptr && entry.get()->gr_name != nullptr)
        return ov_str_copy(out, entry.get()->gr_name, size);
    // The message says uid for a group id; log readers search for it so.
    OV_LOG(kLogDebug, "gname not found for uid [%u] errno [%d]", static_cast<unsigned>(gid), rc);
    return write_id(gid, out, size);
}

int32_t ov_platform_current_user_name(char *out, size_t size) noexcept {
    return ov_platform_user_name(getuid(), out, size);
}

int ov_platform_user_in_group(uid_t uid, gid_t gid) noexcept {
    UserEntry user;
    const passwd *account = find_user_by_id(uid, &user) == 0 ? user.get() : nullptr;
    if (account != nullptr && account->pw_gid == gid) return 1;

    GroupEntry group;
    if (find_group_by_id(gid, &group) != 0 || group.get() == nullptr) return 0;
    const char *const *members = group.get()->gr_mem;
    if (members == nullptr) return 0;
    for (; *members != nullptr; ++members) {
        // The user's own name is the usual member; it needs no look-up.
        if (account != nullptr && account->pw_name != nullptr &&
            std::strcmp(*members, account->pw_name) == 0)
            return 1;
        UserEntry member;
        if (find_user_by_name(*members, &member) == 0 && member.get() != nullptr &&
            member.get()->pw_uid == uid)
            return 1;
    }
    return 0;
}

int32_t ov_platform_user_lookup(const char *name, struct passwd *entry, char *buffer,
                                size_t size) noexcept {
    if (name == nullptr || entry == nullptr || buffer == nullptr) return EINVAL;
    struct passwd *found = nullptr;
    const int rc = getpwnam_r(name, entry, buffer, size, &found);
    if (rc != 0) return rc;
    // Callers go on to the user's home directory; an entry without one is
    // of no use to them.
    if (found == nullptr || !has_text(found->pw_name) || !has_text(found->pw_dir)) return ENOENT;
    return 0;
}

int32_t ov_platform_group_lookup(const char *name, struct group *entry, char *buffer,
                                 size_t size) noexcept {
    if (name == nullptr || entry == nullptr || buffer == nullptr) return EINVAL;
    struct group *found = nullptr;
    const int rc = getgrnam_r(name, entry, buffer, size, &found);
    if (rc != 0) return rc;
    if (found == nullptr || !has_text(found->gr_name)) return ENOENT;
    return 0;
}

}  // extern "C"
