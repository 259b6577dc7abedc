#include <windows.h>

#include "serial/thread_priority.h"

namespace ol {

void RaiseCurrentThreadPriority(ThreadPriority priority) {
  SetThreadPriority(GetCurrentThread(), priority == ThreadPriority::Highest
                                            ? THREAD_PRIORITY_HIGHEST
                                            : THREAD_PRIORITY_ABOVE_NORMAL);
}

}  // namespace ol
