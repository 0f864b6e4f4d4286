// EventHandlerThread: the one thread that delivers queued messages.
//
// It owns what it has taken from the queue (Core::m_taken). It waits on the Core's auto-reset
// trigger m_wakeup, which the first message queued after it found the queue empty posts (and
// every other accepted message, and the stop), and then drains the queue
// (Core::DispatchQueued): it takes every queued record at once, in one swap under the queue's
// lock, and delivers them without the lock, each message in turn, in queue order, with all of
// its Write and IOCTL calls made one after another on this thread before the next message.
// A message that a plugin queues from inside such a call is delivered later in the same drain.
// Messages queued before the thread started left the trigger signalled, so its first wait
// returns at once.
//
// It is the only thread that gives channel gates back after deliveries, so it never waits for
// a gate itself (IsEventHandlerThread tells the routing code where it runs).
//
// Stopping: the Core signals the thread and posts the trigger. The body looks at the signal
// before each wait and before each few messages it delivers (at most 16 between two looks). Once
// it has seen it, queued messages are refused (RESULT_CHANNEL_REFUSED), and a last drain delivers
// every message accepted before that moment (what it had taken first), also when the stop came
// before the first wait. So the stop ends even
// while plugins answer each delivery with a new message, and nothing that was accepted is dropped.
// The Core polls is_finished and deletes the object, whose destructor joins the OS thread.
#ifndef ZENT_ROUTING_EVENT_HANDLER_H_
#define ZENT_ROUTING_EVENT_HANDLER_H_

#include "pt/thread.h"

class Core;

class EventHandlerThread : public pt::thread {
 public:
  explicit EventHandlerThread(Core* core) : pt::thread(false), m_core(core) {}
  ~EventHandlerThread() override;

 protected:
  void execute() override;
  void cleanup() override {}

 private:
  Core* m_core;
};

// True on the event handler thread.
bool IsEventHandlerThread();

#endif  // ZENT_ROUTING_EVENT_HANDLER_H_
