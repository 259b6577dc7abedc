#pragma once

namespace ol {

// How urgently a worker thread is served, relative to the program's other threads.
enum class ThreadPriority { AboveNormal, Highest };

// Raises the calling thread's priority where the system allows it; otherwise leaves it
// as it is (the thread still works, it is just served in turn).
void RaiseCurrentThreadPriority(ThreadPriority priority);

}  // namespace ol
