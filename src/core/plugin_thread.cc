#include "core/plugin_thread.h"

#include <atomic>
#include <cstring>
#include <new>

#include "core/core.h"
#include "core/payload.h"
#include "core/plugin_calls.h"
#include "pt/ticks.h"

namespace {
std::atomic<PluginThread::CheckInHook> g_checkInHook{nullptr};
}  // namespace

void PluginThread::SetCheckInHook(CheckInHook hook) { g_checkInHook = hook; }

PluginThread::PluginThread(Core* core, PluginEntryFn entry, PluginCalls* calls,
                           const CallRequest& request, const CallReply& reply)
    : pt::thread(true, true),
      m_core(core),
      m_entry(entry),
      m_calls(calls),
      m_request(request),
      m_reply(reply) {}

PluginThread* PluginThread::Launch(Core* core, PluginEntryFn entry, PluginCalls* calls,
                                   const CallRequest& request, const CallReply& reply) {
  // Threads of earlier calls that have ended by now are joined first, so that they do not
  // pile up while the plugin takes calls.
  calls->Reap();
  // Whatever fails here, the counted call is given back: a call count that never drops would
  // hold the unloading of the plugin up for ever.
  auto* thread = AllocationAllowed(AllocationSite::kCallThread)
                     ? new (std::nothrow) PluginThread(core, entry, calls, request, reply)
                     : nullptr;
  if (thread == nullptr || !thread->CopyPayload()) {
    uint32_t length = 0;
    if (thread != nullptr) thread->PayloadSlot(&length);
    delete thread;
    calls->Cancel(wxString::Format("could not copy a payload of %u bytes for a call",
                                   static_cast<unsigned>(length)));
    return nullptr;
  }
  // A process at its limit of threads or memory cannot start another: that call is skipped as
  // one without memory for its copy would be, and the server goes on.
  thread->set_stack_size(kStackBytes);
  if (!AllocationAllowed(AllocationSite::kCallThreadStart) || !thread->try_start()) {
    thread->cleanup();  // frees the payload copy; the call was never checked in
    delete thread;
    calls->Cancel("could not start a thread for a call");
    return nullptr;
  }
  core->CountCallThread();
  return thread;
}

const void** PluginThread::PayloadSlot(uint32_t* length) {
  switch (m_request.op) {
    case kOpRead:
      *length = m_request.record.read.length;
      return &m_request.record.read.data;
    case kOpWrite:
      *length = m_request.record.write.length;
      return &m_request.record.write.data;
    case kOpIoctl:
      if (m_request.record.ioctl.command != IOCTL_TO_OTHERS) return nullptr;
      *length = m_request.record.ioctl.length;
      return &m_request.record.ioctl.data;
    default:
      return nullptr;
  }
}

bool PluginThread::CopyPayload() {
  uint32_t length = 0;
  const void** slot = PayloadSlot(&length);
  if (slot == nullptr || *slot == nullptr) return true;
  void* copy = AllocatePayload(length, AllocationSite::kCallPayload);
  if (copy == nullptr) {
    *slot = nullptr;
    return false;
  }
  std::memcpy(copy, *slot, length);
  *slot = copy;
  return true;
}

void PluginThread::execute() {
  if (CheckInHook hook = g_checkInHook.load()) hook(m_calls, Stage::kBeforeCheckIn);
  m_called = m_calls->Begin(pt::thread_id::self());
  if (!m_called) return;  // the plugin was closed meanwhile: no call, already counted out
  if (CheckInHook hook = g_checkInHook.load()) hook(m_calls, Stage::kAfterCheckIn);
  // From here the call counts as running: the Close pass has waited for this mark.
  m_calls->Entered();
  PluginStats* stats = m_calls->stats();
  const CallingPlugin calling(stats);
  const uint64_t start = pt::ticks();
  switch (m_request.op) {
    case kOpRead:
      CallEntry(m_entry, &m_request.record.read, &m_reply.record.read);
      break;
    case kOpWrite:
      CallEntry(m_entry, &m_request.record.write, &m_reply.record.write);
      break;
    case kOpIoctl:
      CallEntry(m_entry, &m_request.record.ioctl, &m_reply.record.ioctl);
      break;
    default:
      CallEntry(m_entry, &m_request.record.bytes, &m_reply.record.bytes);
      break;
  }
  if (stats != nullptr) {
    PluginStats::Entry& entry = m_request.op == kOpRead ? stats->read : stats->ioctl;
    stats->CountCall(entry, m_request.op, start, pt::ticks(), false);
  }
}

void PluginThread::cleanup() {
  uint32_t length = 0;
  const void** slot = PayloadSlot(&length);
  if (slot != nullptr && *slot != nullptr) {
    ReleasePayload(const_cast<void*>(*slot));
    *slot = nullptr;
  }
  // Last: once the count drops, the plugin's Unload pass may go on and this object is about to
  // go.
  if (m_called) m_calls->Leave(pt::thread_id::self());
}
