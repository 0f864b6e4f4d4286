#include "harness/process_threads.h"

#include <cstdlib>
#include <dirent.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace zh {

std::set<pid_t> ProcessThreads() {
  std::set<pid_t> threads;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return threads;
  while (const dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] != '.') threads.insert(static_cast<pid_t>(std::atoi(entry->d_name)));
  }
  closedir(tasks);
  return threads;
}

pid_t ThisThread() { return static_cast<pid_t>(syscall(SYS_gettid)); }

void WarmUpThreads() {
  std::thread([] {}).join();
}

}  // namespace zh
