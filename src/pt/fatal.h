// The runtime layer's policy for unrecoverable errors: a failing thread, semaphore or lock
// primitive is never reported to the caller. pt::fatal hands the code and a message to
// pt::fatal_handler, then exits the process with the code as its status (a parent sees the low
// 8 bits). The default handler writes "\nInternal [%04x]: %s\n" to standard error.
#ifndef ZENT_PT_FATAL_H_
#define ZENT_PT_FATAL_H_

namespace pt {

// Codes of the layer; every one has five hex digits.
constexpr int kFatalThreadCreate = 0xC0028;     // "pthread_create() failed"
constexpr int kFatalSemaphore = 0xC0029;        // semaphore, timed semaphore or trigger set-up
constexpr int kFatalWaitforSelf = 0xC002F;      // "Can not waitfor() on myself"
constexpr int kFatalWaitforAutofree = 0xC0030;  // "Can not waitfor() on an autofree thread"
constexpr int kFatalUnhandled = 0xC0031;        // an unknown exception left a thread body

using fatal_handler_t = void (*)(int code, const char* msg);

// Called by pt::fatal before it exits; may be replaced (or set to null) at start-up, before any
// thread of the layer runs. Initially pt::default_fatal_handler.
extern fatal_handler_t fatal_handler;

// Writes "\nInternal [%04x]: %s\n" with code and msg to standard error.
void default_fatal_handler(int code, const char* msg);

// Calls pt::fatal_handler (if set), then exit(code). Safe on any thread; never returns.
[[noreturn]] void fatal(int code, const char* msg);

}  // namespace pt

#endif  // ZENT_PT_FATAL_H_
