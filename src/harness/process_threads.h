// The threads of this process, as the kernel lists them, for telling which ones a plugin left
// running.
#ifndef ZENT_HARNESS_PROCESS_THREADS_H_
#define ZENT_HARNESS_PROCESS_THREADS_H_

#include <set>
#include <sys/types.h>

namespace zh {

// The kernel ids of the threads of this process that exist now.
std::set<pid_t> ProcessThreads();
// The kernel id of the calling thread.
pid_t ThisThread();
// Starts a thread and joins it: a sanitizer's runtime starts its own service threads with the
// first thread the process creates, and they must be counted as there before the plugin runs.
void WarmUpThreads();

}  // namespace zh

#endif  // ZENT_HARNESS_PROCESS_THREADS_H_
