#include <sys/resource.h>
#include <unistd.h>

#include "serial/thread_priority.h"

namespace ol {

void RaiseCurrentThreadPriority(ThreadPriority priority) {
  // On Linux the nice value is per thread; lowering it needs CAP_SYS_NICE or a
  // matching RLIMIT_NICE, and a refusal is harmless.
  int nice = priority == ThreadPriority::Highest ? -10 : -5;
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), nice);
}

}  // namespace ol
