/* Test equipment, never part of the product: pseudo-terminals have no modem lines, so
 * the modem-line ioctls fail there and Wine's serial layer (EscapeCommFunction,
 * GetCommModemStatus, WaitCommEvent) with them. Loaded with LD_PRELOAD into Wine's
 * processes, this answers TIOCMGET/TIOCMSET/TIOCMBIS/TIOCMBIC from a per-descriptor
 * record whenever the real call fails with ENOTTY or EINVAL; every other call goes
 * through untouched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <sys/ioctl.h>

#define MAX_FDS 4096

static int lines[MAX_FDS];
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

typedef int (*ioctl_fn)(int, unsigned long, ...);

int ioctl(int fd, unsigned long request, ...) {
  static ioctl_fn real;
  if (!real) real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  int rc = real(fd, request, arg);
  if (rc == 0 || (errno != ENOTTY && errno != EINVAL) || fd < 0 || fd >= MAX_FDS || !arg)
    return rc;
  if (request != TIOCMGET && request != TIOCMSET && request != TIOCMBIS && request != TIOCMBIC)
    return rc;
  int* bits = (int*)arg;
  pthread_mutex_lock(&lock);
  /* A fresh line has carrier and DSR up, as a station's modem cable does. */
  if (!(lines[fd] & 0x40000000)) lines[fd] = 0x40000000 | TIOCM_CAR | TIOCM_DSR | TIOCM_CTS;
  if (request == TIOCMGET) *bits = lines[fd] & ~0x40000000;
  if (request == TIOCMSET) lines[fd] = 0x40000000 | *bits;
  if (request == TIOCMBIS) lines[fd] |= *bits;
  if (request == TIOCMBIC) lines[fd] = (lines[fd] & ~*bits) | 0x40000000;
  pthread_mutex_unlock(&lock);
  errno = 0;
  return 0;
}
