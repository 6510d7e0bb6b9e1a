// internal/account.h - users and groups of the account data base, looked up by
// name or by id.
//
// The re-entrant look-ups (getpwnam_r and its relatives) write the strings of
// a record into a buffer of the caller's and fail with ERANGE when it is too
// small, which only the size of the record decides. These calls repeat the
// look-up in a larger buffer until the record fits, so that a record with
// many group members or a long home directory is found like any other. The
// entry holds the record and the text it points into; it is neither copied
// nor moved, as the record's pointers lead into the entry itself.
#pragma once

#include <grp.h>
#include <pwd.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "internal/limits.h"
#include "internal/raii.h"

namespace ov::detail {

// The text a record's strings are written into: first an array of the
// entry's own, then heap buffers of twice the size each time.
class AccountScratch {
  public:
    AccountScratch() noexcept = default;
    AccountScratch(const AccountScratch &) = delete;
    AccountScratch &operator=(const AccountScratch &) = delete;

    char *data() noexcept { return heap_ != nullptr ? heap_.get() : first_; }
    size_t size() const noexcept { return size_; }
    // Doubles the room; the text is not kept. @return 0, ERANGE when the room
    // is at kAccountScratchMost already, or ENOMEM.
    int32_t grow() noexcept;

  private:
    char first_[kAccountScratchFirst];
    std::unique_ptr<char[], FreeDeleter> heap_;
    size_t size_ = kAccountScratchFirst;
};

// The result of one look-up: the record, or none when the data base has no
// such account.
template <class Record>
class AccountEntry {
  public:
    AccountEntry() noexcept = default;
    AccountEntry(const AccountEntry &) = delete;
    AccountEntry &operator=(const AccountEntry &) = delete;

    // The record found, or null.
    const Record *get() const noexcept { return found_; }

    // Runs a re-entrant look-up of key, growing the scratch on ERANGE.
    // @return 0, also when nothing was found, or the look-up's error.
    template <class Key>
    int32_t look_up(int (*call)(Key, Record *, char *, size_t, Record **), Key key) noexcept {
        for (;;) {
            found_ = nullptr;
            const int rc = call(key, &record_, scratch_.data(), scratch_.size(), &found_);
            if (rc == 0) return 0;
            found_ = nullptr;
            if (rc != ERANGE) return rc;
            const int32_t grown = scratch_.grow();
            if (grown != 0) return grown;
        }
    }

  private:
    Record record_{};
    Record *found_ = nullptr;
    AccountScratch scratch_;
};

using UserEntry = AccountEntry<struct passwd>;
using GroupEntry = AccountEntry<struct group>;

// Each fills entry and returns 0, with entry->get() null when the account
// does not exist; otherwise the look-up's error (ERANGE for a record larger
// than kAccountScratchMost, ENOMEM, or what the data base reports).
int32_t find_user_by_name(const char *name, UserEntry *entry) noexcept;
int32_t find_user_by_id(uid_t id, UserEntry *entry) noexcept;
int32_t find_group_by_name(const char *name, GroupEntry *entry) noexcept;
int32_t find_group_by_id(gid_t id, GroupEntry *entry) noexcept;

}  // namespace ov::detail
