// ovplatform.cpp - the machine and the account the process runs under.
//
// Answers questions about the host for the rest of the library. The host
// name is written into every lock file the lock-file module creates, so its
// form is part of that file's content: the name exactly as the system reports
// it, with no domain part added.
#include <ovplatform/ovplatform.h>

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

extern "C" {

int32_t ov_platform_hostname(char *out, size_t size) noexcept {
    if (out == nullptr) return EINVAL;
    if (gethostname(out, size) != 0) {
        const int err = errno;
        // The system copies as much of a too long name as fits and may leave
        // it unterminated; an empty result is safer for a caller that ignores
        // the code.
        if (size > 0) out[0] = '\0';
        return err;
    }
    return 0;
}

}  // extern "C"
