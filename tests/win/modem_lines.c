// Test equipment, never part of the product: preloaded into Wine's processes so that a
// pseudo-terminal standing in for a COM port has modem lines. A pty refuses the
// modem-line requests, so Wine fails EscapeCommFunction and GetCommModemStatus and
// cannot wait for line events; here each refused request is answered from a per-
// descriptor record in which DSR, CTS and carrier are up, as on a station's cable.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <unistd.h>

enum { kDescriptors = 4096 };

static int lines[kDescriptors];
static unsigned char known[kDescriptors];
static pthread_mutex_t guard = PTHREAD_MUTEX_INITIALIZER;

typedef int (*IoctlFn)(int, unsigned long, ...);

static int Emulate(int fd, unsigned long request, int* arg) {
  pthread_mutex_lock(&guard);
  if (!known[fd]) {
    lines[fd] = TIOCM_DSR | TIOCM_CTS | TIOCM_CAR | TIOCM_DTR | TIOCM_RTS;
    known[fd] = 1;
  }
  switch (request) {
    case TIOCMGET:
      *arg = lines[fd];
      break;
    case TIOCMSET:
      lines[fd] = *arg;
      break;
    case TIOCMBIS:
      lines[fd] |= *arg;
      break;
    default:  // TIOCMBIC
      lines[fd] &= ~*arg;
      break;
  }
  pthread_mutex_unlock(&guard);
  return 0;
}

int ioctl(int fd, unsigned long request, ...) {
  static IoctlFn real;
  if (!real) real = (IoctlFn)dlsym(RTLD_NEXT, "ioctl");
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  int result = real(fd, request, arg);
  if (result == -1 && (errno == ENOTTY || errno == EINVAL) && fd >= 0 && fd < kDescriptors &&
      arg != NULL &&
      (request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC) &&
      isatty(fd)) {
    errno = 0;
    return Emulate(fd, request, (int*)arg);
  }
  return result;
}
