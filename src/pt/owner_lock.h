// OwnerLock: a binary semaphore that remembers its holder, an untyped pointer the caller
// chooses (the channel gates use the payload buffer of the message that holds the channel, null
// for a message without payload).
//
// The count is 1 when the lock is free. Release gives the lock back only when it is held and
// by the pointer that holds it, so a release by anyone else, or of a free lock, changes
// nothing. ForceRelease adds one to the count without any check (closing a channel wakes its
// waiter with it); on a free lock it raises the count to 2.
//
// Abandon is for the end of delivery: once nobody will ever release a held lock again, waits
// on it must not last for ever. After Abandon a wait that would block returns false at once,
// and the waiters of the moment wake and return false.
//
// Thread safety: every operation may be called from any thread; the lock is taken on the
// sender's thread and given back on another. Waits hold no lock of the caller's.
#ifndef ZENT_PT_OWNER_LOCK_H_
#define ZENT_PT_OWNER_LOCK_H_

#include <cstdint>

#include "pt/sync.h"

class OwnerLock {
 public:
  OwnerLock();
  OwnerLock(const OwnerLock&) = delete;
  OwnerLock& operator=(const OwnerLock&) = delete;

  // Takes the lock for owner. With wait, waits while it is held; without, takes it only if it
  // is free. Returns false when it was not taken (held and no wait, or abandoned).
  bool Acquire(void* owner, bool wait = true);
  // Gives the lock back if owner holds it; otherwise does nothing.
  void Release(void* owner);
  // Adds one to the count without any check and leaves the owner as it is.
  void ForceRelease();
  // Waits until the lock is free and leaves it free (with no owner). With wait false, or once
  // abandoned, returns at once when it is held. Returns true when the lock was free.
  bool WaitFree(bool wait = true);
  // From now on no wait blocks: see the file comment.
  void Abandon();
  // How many threads wait in Acquire or WaitFree at this moment.
  int Waiters();
  struct State {
    int waiters;         // as Waiters
    uint64_t heldSince;  // pt::ticks when the holder took it; 0 when free
    uint64_t acquired;   // how often it was taken
    const void* owner;   // the holder (when heldSince is not 0)
  };
  State Look();

 private:
  // REQUIRES: mtx_ is held. Waits while the count is 0; false if it must give up instead.
  bool WaitForUnit(bool wait) PT_REQUIRES(mtx_);

  pt::mutex mtx_;
  pt::condition cond_;
  int count_ PT_GUARDED_BY(mtx_) = 1;
  bool held_ PT_GUARDED_BY(mtx_) = false;
  void* owner_ PT_GUARDED_BY(mtx_) = nullptr;
  bool abandoned_ PT_GUARDED_BY(mtx_) = false;
  int waiters_ PT_GUARDED_BY(mtx_) = 0;
  uint64_t heldSince_ PT_GUARDED_BY(mtx_) = 0;
  uint64_t acquired_ PT_GUARDED_BY(mtx_) = 0;
};

#endif  // ZENT_PT_OWNER_LOCK_H_
