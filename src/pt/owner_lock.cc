#include "pt/owner_lock.h"

#include "pt/ticks.h"

OwnerLock::OwnerLock() : cond_("Semaphore failed") {}

bool OwnerLock::WaitForUnit(bool wait) {
  while (count_ == 0) {
    if (!wait || abandoned_) return false;
    ++waiters_;
    cond_.wait(mtx_);
    --waiters_;
  }
  return true;
}

bool OwnerLock::Acquire(void* owner, bool wait) {
  pt::lockguard guard(mtx_);
  if (!WaitForUnit(wait)) return false;
  --count_;
  owner_ = owner;
  held_ = true;
  heldSince_ = pt::ticks();
  ++acquired_;
  return true;
}

void OwnerLock::Release(void* owner) {
  pt::lockguard guard(mtx_);
  if (!held_ || owner_ != owner) return;
  held_ = false;
  owner_ = nullptr;
  heldSince_ = 0;
  ++count_;
  cond_.signal();
}

void OwnerLock::ForceRelease() {
  pt::lockguard guard(mtx_);
  ++count_;
  cond_.signal();
}

bool OwnerLock::WaitFree(bool wait) {
  pt::lockguard guard(mtx_);
  if (!WaitForUnit(wait)) return false;
  // Taking the unit and putting it straight back: the lock is free and nobody owns it.
  held_ = false;
  owner_ = nullptr;
  heldSince_ = 0;
  cond_.signal();
  return true;
}

void OwnerLock::Abandon() {
  pt::lockguard guard(mtx_);
  abandoned_ = true;
  cond_.broadcast();
}

int OwnerLock::Waiters() {
  pt::lockguard guard(mtx_);
  return waiters_;
}

OwnerLock::State OwnerLock::Look() {
  pt::lockguard guard(mtx_);
  return State{waiters_, held_ ? heldSince_ : 0, acquired_, owner_};
}
