// OutputCapture: what the process writes to one of its standard descriptors (1 or 2) while the
// harness runs, read from a pipe by a thread of its own and, in tee mode, written on to where
// the descriptor went before.
//
// The thread owns the pipe's reading end and the saved descriptor; it waits in poll, at most
// 100 ms at a time, and ends when the writing side is closed or, once Stop asked it to, when
// the pipe has nothing more to give (a child the plugin started may keep the writing end open
// for ever). Text is appended in arrival order under the object's lock.
#ifndef ZENT_HARNESS_OUTPUT_CAPTURE_H_
#define ZENT_HARNESS_OUTPUT_CAPTURE_H_

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace zh {

class OutputCapture {
 public:
  // fd: 1 or 2; tee: also write what passes to the descriptor's old target.
  OutputCapture(int fd, bool tee);
  ~OutputCapture();
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  // Puts the pipe in place of the descriptor; false (nothing changed) when it cannot.
  bool Start();
  // Gives the descriptor back and ends the thread once the pipe is drained. Later calls do
  // nothing.
  void Stop();
  std::string Text();
  // Waits up to timeoutMs until the text contains needle.
  bool WaitFor(const std::string& needle, int timeoutMs);

 private:
  void Run();

  const int fd_;
  const bool tee_;
  int saved_ = -1;  // the descriptor's old target
  int read_ = -1;   // the pipe's reading end, the thread's
  bool started_ = false;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable grew_;
  std::string text_;
};

}  // namespace zh

#endif  // ZENT_HARNESS_OUTPUT_CAPTURE_H_
