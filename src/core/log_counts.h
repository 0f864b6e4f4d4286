// Counts of the lines logged at warning and error level, for the statistics.
//
// While the Core runs, a counting link sits in front of the process's log target: every record
// passes through it, from any thread, is counted by level and goes on to the target that was
// active before, unchanged. Install puts it in front, Remove takes it out again (unless another
// target has been made active meanwhile, which is then left as it is).
//
// Thread safety: the counts are atomics; Install and Remove run on the thread that starts and
// stops the Core, while no other thread of the Core's runs.
#ifndef ZENT_CORE_LOG_COUNTS_H_
#define ZENT_CORE_LOG_COUNTS_H_

#include <cstdint>

namespace log_counts {

void Install();
void Remove();
// Lines logged since the process started (while a link was installed).
uint64_t Warnings();
uint64_t Errors();

}  // namespace log_counts

#endif  // ZENT_CORE_LOG_COUNTS_H_
