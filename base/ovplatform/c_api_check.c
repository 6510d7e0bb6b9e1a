/* Compiled as C11 with -Wall -Werror: proves that the public headers are
 * plain C and that every declaration is usable from a C translation unit. */
#include <ovplatform/ov.h>

int ov_c_api_check_dummy(void);
int ov_c_api_check_dummy(void) {
    ov_lockfile_t lock;
    /* The options' initialiser is C as well as C++. */
    ov_lockfile_wait_t wait = OV_LOCKFILE_WAIT_INIT;
    (void)lock;
    (void)wait;
    return OK + EBUFFER - EBUFFER;
}
