/* c_floor.c - the smallest program shaped like a lock worker: a main thread
 * that wakes every 500 ms and one thread with a 256 KiB stack that wakes once
 * a second. Its CPU time and peak memory are the floor a held lock compares
 * with. */
#include <pthread.h>
#include <unistd.h>

static void *refresher(void *arg) {
    (void)arg;
    for (;;) sleep(1);
    return 0;
}

int main(void) {
    pthread_attr_t attr;
    pthread_t thread;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 262144);
    if (pthread_create(&thread, &attr, refresher, 0) != 0) return 1;
    for (;;) usleep(500000);
}
