// overror.cpp - names and messages of the platform error codes.
//
// Turns a platform error code into its symbolic name (ov_error_name) or its
// message (ov_error_string, ov_error_text). The library's own codes, their
// names and messages come from the one list OV_ERROR_LIST in overror.h; this
// file generates the message table and the name lookup from it, and adds the
// names the library gives to a few host errno values. Everything else (0,
// host numbers, ERR_END and anything out of range) takes the host's text.
//
// The tables are read-only and the message lookup uses the re-entrant host
// call, so both lookups may run on any thread at the same time.
#include <ovplatform/overror.h>
#include <ovplatform/ovstring.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace {

// Host errno values with names of the library's own, in value order. Four of
// them differ from the host's own name for the number (see overror.h).
#define OV_HOST_ERROR_LIST(X)       \
    X("OK", 0)                      \
    X("EPERM", EPERM)               \
    X("ENOENT", ENOENT)             \
    X("ESRCH", ESRCH)               \
    X("EINTR", EINTR)               \
    X("EIO", EIO)                   \
    X("EBADF", EBADF)               \
    X("EWOULDBLOCK", EAGAIN)        \
    X("ENOMEM", ENOMEM)             \
    X("EACCES", EACCES)             \
    X("ENOTREADY", EBUSY)           \
    X("EEXIST", EEXIST)             \
    X("ENOTDIR", ENOTDIR)           \
    X("EINVAL", EINVAL)             \
    X("ENFILE", ENFILE)             \
    X("EMFILE", EMFILE)             \
    X("ENOSPC", ENOSPC)             \
    X("ERANGE", ERANGE)             \
    X("EPATHMAX", ENAMETOOLONG)     \
    X("ENOTEMPTY", ENOTEMPTY)       \
    X("EDESTADDRREQ", EDESTADDRREQ) \
    X("EMSGSIZE", EMSGSIZE)         \
    X("ENOTSUP", EOPNOTSUPP)        \
    X("EAFNOSUPPORT", EAFNOSUPPORT) \
    X("EADDRINUSE", EADDRINUSE)     \
    X("ECONNRESET", ECONNRESET)     \
    X("ENOBUFS", ENOBUFS)           \
    X("EISCONN", EISCONN)           \
    X("ENOTCONN", ENOTCONN)         \
    X("ETIMEDOUT", ETIMEDOUT)       \
    X("ECONNREFUSED", ECONNREFUSED) \
    X("EINPROGRESS", EINPROGRESS)

// The renamed numbers are the host's: code that compares a result with the
// library's name and code that compares it with the host's see the same value.
static_assert(EWOULDBLOCK == EAGAIN && ENOTSUP == EOPNOTSUPP);
static_assert(ENOTREADY == EBUSY && EPATHMAX == ENAMETOOLONG);

// Slots of the message table: one per code from OV_ERROR_BASE up to ERR_END.
constexpr int kMessageSlots = ERR_END - OV_ERROR_BASE;

// The message table, indexed by code - OV_ERROR_BASE. Slots that the list
// leaves out (0x7017 and 0x7018, numbers no longer in use) stay null: those
// numbers are not library conditions, so they take the host's text like any
// other number without a message of ours. Each entry carries its length, so
// that a message that fits is one memcpy rather than a scan and a bounded
// copy; callers format one of these into a log line on every failure.
constexpr std::array<std::string_view, kMessageSlots> kMessages = [] {
    std::array<std::string_view, kMessageSlots> table{};
#define OV_ERROR_MESSAGE(name, value, message) table[(value)-OV_ERROR_BASE] = (message);
    OV_ERROR_LIST(OV_ERROR_MESSAGE)
#undef OV_ERROR_MESSAGE
    return table;
}();

// The list must stay in numbering order, inside the block below ERR_END: a
// value outside it would fail the table build above at compile time, and an
// out-of-order or repeated value is caught here.
constexpr bool list_is_ascending() {
    int previous = OV_ERROR_BASE - 1;
    bool ok = true;
#define OV_ERROR_ORDER(name, value, message) \
    ok = ok && (value) > previous;           \
    previous = (value);
    OV_ERROR_LIST(OV_ERROR_ORDER)
#undef OV_ERROR_ORDER
    return ok && previous < ERR_END;
}
static_assert(list_is_ascending(), "OV_ERROR_LIST must be ascending and below ERR_END");
static_assert(kMessageSlots == 42);

constexpr const char kNoMessage[] = "Could not retrieve error message";
constexpr const char kUnknownErrno[] = "OV_UNKNOWN_ERRNO";

}  // namespace

extern "C" {

const char *ov_error_name(int32_t code) noexcept {
    switch (code) {
#define OV_HOST_ERROR_NAME(name, value) \
    case (value):                       \
        return name;
        OV_HOST_ERROR_LIST(OV_HOST_ERROR_NAME)
#undef OV_HOST_ERROR_NAME
#define OV_ERROR_NAME(name, value, message) \
    case (value):                           \
        return #name;
        OV_ERROR_LIST(OV_ERROR_NAME)
#undef OV_ERROR_NAME
        case ERR_END:
            return "ERR_END";
        default:
            break;
    }
    // Not a number of ours: the host's description is the best name there is.
    const char *text = std::strerror(code);
    return text != nullptr ? text : kUnknownErrno;
}

int32_t ov_error_string(int32_t code, char *buffer, size_t size) noexcept {
    if (buffer == nullptr || size == 0) return EINVAL;
    const char *text = nullptr;
    if (code > OV_ERROR_BASE - 1 && code - (OV_ERROR_BASE - 1) <= kMessageSlots) {
        const std::string_view message = kMessages[static_cast<size_t>(code - OV_ERROR_BASE)];
        if (message.data() != nullptr && message.size() < size) {
            std::memcpy(buffer, message.data(), message.size() + 1);
            return 0;
        }
        text = message.data();  // a message too long for the buffer is cut below
    }
    if (text == nullptr) {
        // GNU strerror_r returns either a static host text or the buffer,
        // into which it wrote its own text for a number it does not know.
        text = strerror_r(code, buffer, size);
    }
    if (text != nullptr) {
        // A cut is not an error here: the message is a best effort. A copy of
        // the buffer onto itself leaves it as it is (and terminated).
        (void)ov_str_copy(buffer, text, size);
    }
    return 0;
}

const char *ov_error_text(int32_t code, char *buffer, size_t size) noexcept {
    return ov_error_string(code, buffer, size) == 0 ? buffer : kNoMessage;
}

}  // extern "C"
