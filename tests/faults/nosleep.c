/* Preloaded into the tool during the sweep: the tool's fixed pauses (after
 * opens, closes, CPU resets and between ready polls) wait for a real
 * controller; the virtual card is ready at once, so they only cost time.
 * The polls are counted loops, so the commands sent do not change. */
#include <time.h>
#include <unistd.h>

unsigned int sleep(unsigned int seconds) {
  (void)seconds;
  return 0;
}

int usleep(useconds_t usec) {
  (void)usec;
  return 0;
}

int nanosleep(const struct timespec *req, struct timespec *rem) {
  (void)req;
  if (rem) rem->tv_sec = rem->tv_nsec = 0;
  return 0;
}
