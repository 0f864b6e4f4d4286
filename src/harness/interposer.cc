#include "harness/interposer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/core.h"
#include "core/plugin_record.h"
#include "harness/session.h"

namespace zh {
namespace {

// The entry point of the plugin that this thread is inside, for what it sends.
thread_local int t_entry = ZH_ENTRY_NONE;

// Flags that mean something in a Message besides the whole-word MSG_RELEASE and
// MSG_CLOSE_CHANNEL: the class bits 0 to 8, MSG_TO_OTHERS and MSG_TO_ALL.
constexpr uint32_t kMeaningfulFlags = 0xFFu | MSG_CLASS_BIT(8) | MSG_TO_OTHERS | MSG_TO_ALL;

std::string Hex(uint64_t value, int digits = 8) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%0*llx", digits, static_cast<unsigned long long>(value));
  return text;
}

std::string Pointer(const void* pointer) {
  char text[24];
  std::snprintf(text, sizeof text, "%p", pointer);
  return text;
}

// A call into the plugin: in flight from construction to destruction, on this thread.
class InCall {
 public:
  explicit InCall(int entry)
      : outer_(t_entry), id_(Session::Get().EnterCall(entry)), start_(Clock::now()) {
    t_entry = entry;
  }
  ~InCall() {
    t_entry = outer_;
    Session::Get().LeaveCall(id_);
  }
  InCall(const InCall&) = delete;
  InCall& operator=(const InCall&) = delete;
  double Ms() const {
    return std::chrono::duration<double, std::milli>(Clock::now() - start_).count();
  }

 private:
  const int outer_;
  const uint64_t id_;
  const Clock::time_point start_;
};

template <typename Request, typename Reply>
int CallReal(int entry, Request* request, Reply* reply) {
  const PluginEntryFn real = Session::Get().Real(entry);
  return real != nullptr ? CallEntry(real, request, reply) : 0;
}

void CheckSlow(const char* name, double ms) {
  Session& session = Session::Get();
  const int bound = session.Options().call_bound_ms;
  if (ms <= bound) return;
  char text[400];
  std::snprintf(text, sizeof text,
                "%s took %.0f ms, longer than the bound of %d ms: the server loads and opens its "
                "plugins one after another before it delivers anything, so a slow %s holds every "
                "plugin up; do slow work on a thread of the plugin's own",
                name, ms, bound, name);
  session.AddViolation(ZH_SLOW_CALL, text);
}

void CheckInfo(const PluginInfo& info) {
  Session& session = Session::Get();
  if (info.size != sizeof(PluginInfo) || info.version != ZENT_RECORD_VERSION) {
    session.AddViolation(
        ZH_BAD_RECORD, "changed size or version of the PluginInfo the core prepared (size " +
                           std::to_string(info.size) + ", version " + std::to_string(info.version) +
                           "): the core sets both, the plugin fills only the fields after them");
  }
  if (info.reserved1 != 0 || info.reserved2 != 0 || info.reserved3 != 0) {
    session.AddViolation(ZH_BAD_RECORD, "set reserved fields of the PluginInfo (reserved1 " +
                                            Hex(info.reserved1) + ", reserved2 " +
                                            Hex(info.reserved2, 2) + ", reserved3 " +
                                            Hex(info.reserved3) + "): they must stay 0");
  }
  if (info.id == 0) {
    session.AddViolation(ZH_BAD_RECORD,
                         "id is 0: a message with source 0 is a broadcast, so the plugin cannot "
                         "send queued messages under its own id");
  } else if (info.id == CORE_SOURCE) {
    session.AddViolation(ZH_BAD_RECORD,
                         "id is CORE_SOURCE (0x80000000): the server takes the plugin for the "
                         "core, and it never receives the status document");
  } else if (info.id == session.Options().probe_id) {
    session.AddViolation(ZH_BAD_RECORD,
                         "id " + std::to_string(info.id) +
                             " is the harness probe's: give the probe another one "
                             "(zh_options.probe_id), or their buffers cannot be told apart");
  }
}

void CheckReply(const char* record, uint32_t size, uint32_t version, size_t expected) {
  if (size == expected && version == ZENT_RECORD_VERSION) return;
  Session::Get().AddViolation(
      ZH_BAD_RECORD, std::string("changed size or version of the ") + record +
                         " the core prepared (size " + std::to_string(size) + ", version " +
                         std::to_string(version) + "): the plugin sets only retained in it");
}

// Before a Write or IOCTL delivery of data: listed as handed to the plugin.
void BeforeDelivery(const void* data, uint32_t length, uint64_t hash, const std::string& from) {
  if (data == nullptr) return;
  Session& session = Session::Get();
  std::lock_guard<std::mutex> lock(session.KeptLock());
  session.KeptBuffers()[data] = Session::Kept{length, hash, session.IsOwned(data), false, from};
}

// After it: its bytes, and whether the plugin keeps it (unless it gave it back meanwhile, and
// was judged then).
void AfterDelivery(const void* data, uint32_t length, uint32_t retained) {
  if (data == nullptr) return;
  Session& session = Session::Get();
  std::lock_guard<std::mutex> lock(session.KeptLock());
  auto& kept = session.KeptBuffers();
  const auto found = kept.find(data);
  if (found == kept.end()) return;
  const uint64_t after = HashBytes(data, length);
  if (after != found->second.hash) {
    session.AddViolation(ZH_BUFFER_CHANGED,
                         "changed the bytes of the buffer of a message it received by " +
                             found->second.from +
                             ": the core's buffer is shared by every plugin it is delivered to "
                             "and is read only");
  }
  if (retained == 0) {
    kept.erase(found);
    return;
  }
  found->second.hash = after;
  found->second.confirmed = true;
}

// The checks of a message the plugin sends, as far as it can be read.
void CheckMessage(const Message* message, const MessageReply* reply) {
  Session& session = Session::Get();
  if (message == nullptr) {
    session.AddViolation(ZH_BAD_RECORD,
                         "sent a null message: the core refuses it and logs the plugin's fault");
    return;
  }
  const std::string what = "a message of code " + Hex(message->code);
  if (message->size != sizeof(Message) || message->version != ZENT_RECORD_VERSION) {
    session.AddViolation(ZH_BAD_RECORD,
                         "sent " + what + " whose size is " + std::to_string(message->size) +
                             " and version " + std::to_string(message->version) + ", not " +
                             std::to_string(sizeof(Message)) +
                             " and 1: zero-fill the Message and set both before the fields");
  }
  if (reply == nullptr) {
    session.AddViolation(ZH_BAD_RECORD, "sent " + what +
                                            " without a reply record: it cannot learn whether "
                                            "the core took the message");
  } else if (reply->size != sizeof(MessageReply) || reply->version != ZENT_RECORD_VERSION) {
    session.AddViolation(ZH_BAD_RECORD,
                         "sent " + what + " with a MessageReply whose size is " +
                             std::to_string(reply->size) + " and version " +
                             std::to_string(reply->version) +
                             ": the sender prepares the reply as it prepares the message");
  }
  const uint32_t flags = message->flags;
  if (flags != MSG_RELEASE && flags != MSG_CLOSE_CHANNEL && (flags & ~kMeaningfulFlags) != 0) {
    session.AddViolation(ZH_BAD_RECORD,
                         "sent " + what + " with flags " + Hex(flags, 4) + ", whose bits " +
                             Hex(flags & ~kMeaningfulFlags, 4) +
                             " mean nothing (MSG_RELEASE and MSG_CLOSE_CHANNEL are whole flag "
                             "words, not bits to combine)");
  }
  if (flags != MSG_RELEASE && message->data == nullptr && message->length != 0) {
    session.AddViolation(ZH_BAD_RECORD, "sent " + what + " with length " +
                                            std::to_string(message->length) +
                                            " but no data: the core sends it without a payload");
  }
  if (flags != MSG_RELEASE && message->source == CORE_SOURCE) {
    session.AddViolation(ZH_BAD_RECORD,
                         "sent " + what +
                             " as CORE_SOURCE (0x80000000): its receivers take it for the core's "
                             "own");
  }
}

// A release: the harness's own copies are given back here, the core's are checked and passed
// on. Under the kept buffers' lock, so that a buffer is judged before the core may free it.
void Release(const Message& message, MessageReply* reply) {
  Session& session = Session::Get();
  const void* buffer = message.data;
  const uint32_t id = session.PluginId();
  std::lock_guard<std::mutex> lock(session.KeptLock());
  auto& kept = session.KeptBuffers();
  const auto found = kept.find(buffer);
  if (buffer != nullptr && found != kept.end() && message.source == id) {
    const Session::Kept record = found->second;
    kept.erase(found);
    if (HashBytes(buffer, record.length) != record.hash) {
      session.AddViolation(ZH_BUFFER_CHANGED,
                           "changed the bytes of a buffer it received by " + record.from +
                               " before it gave it back: a kept buffer is read only, and other "
                               "plugins may keep the same one");
    }
    if (record.owned) {
      // The harness's own copy: freed here once kept, else after the call that handed it.
      if (record.confirmed) session.Disown(buffer);
      reply->result = RESULT_OK;
      return;
    }
  } else if (buffer != nullptr) {
    bool held = false;
    session.WithCore([&](Core& core) {
      BufferRefTable::Held look;
      held =
          core.BufferRefs().Look(buffer, &look) &&
          std::find(look.holders.begin(), look.holders.end(), message.source) != look.holders.end();
    });
    if (!held) {
      session.AddViolation(
          ZH_BAD_RELEASE,
          "gave back a buffer it does not hold (" + Pointer(buffer) + ", source " +
              std::to_string(message.source) +
              "): give back each kept buffer once, with the plugin's own id as source; a "
              "second release may end the hold on a newer buffer at the same address");
    }
  }
  if (!session.WithCore([&](Core&) { CoreCallback(&message, reply); })) {
    reply->result = RESULT_CHANNEL_REFUSED;
  }
}

// --- the entry points as the core calls them ---

int OnLoad(PluginContext* context, PluginInfo* info) {
  Session& session = Session::Get();
  session.SetPhase(ZH_PHASE_LOAD);
  context->callback = PluginCallback;
  int result;
  double ms;
  {
    InCall call(ZH_ENTRY_LOAD);
    result = CallReal(ZH_ENTRY_LOAD, context, info);
    ms = call.Ms();
  }
  session.NoteLoad(result, ms, *info);
  if (result == 0 && info->error == 0) {
    CheckSlow("Load", ms);
    CheckInfo(*info);
  }
  return result;
}

int OnOpen(OpenRequest* request, OpenReply* reply) {
  Session& session = Session::Get();
  session.SetPhase(ZH_PHASE_OPEN);
  int result = 0;
  if (session.Real(ZH_ENTRY_OPEN) != nullptr) {
    InCall call(ZH_ENTRY_OPEN);
    result = CallReal(ZH_ENTRY_OPEN, request, reply);
    const double ms = call.Ms();
    session.NoteOpen(result, ms);
    CheckSlow("Open", ms);
  }
  session.SetPhase(ZH_PHASE_RUNNING);
  return result;
}

int OnClose(CloseRequest* request, StatusReply* reply) {
  Session& session = Session::Get();
  session.SetPhase(ZH_PHASE_CLOSE);
  if (session.Real(ZH_ENTRY_CLOSE) == nullptr) return 0;
  InCall call(ZH_ENTRY_CLOSE);
  const int result = CallReal(ZH_ENTRY_CLOSE, request, reply);
  session.NoteClose(result, call.Ms());
  return result;
}

int OnUnload(UnloadRequest* request, StatusReply* reply) {
  Session& session = Session::Get();
  session.SetPhase(ZH_PHASE_UNLOAD);
  // After the Close pass: what the plugin still keeps has not changed meanwhile, and the
  // harness's own copies it keeps are as much a fault as the core's (which the core reports).
  {
    std::lock_guard<std::mutex> lock(session.KeptLock());
    size_t owned = 0;
    for (const auto& [buffer, kept] : session.KeptBuffers()) {
      if (HashBytes(buffer, kept.length) != kept.hash) {
        session.AddViolation(ZH_BUFFER_CHANGED, "changed the bytes of a buffer it kept from " +
                                                    kept.from + ": a kept buffer is read only");
      }
      owned += kept.owned ? 1 : 0;
    }
    if (owned != 0) {
      session.AddViolation(ZH_KEPT_AFTER_CLOSE,
                           "still holds " + std::to_string(owned) +
                               " buffer(s) handed to it by zh_write or zh_ioctl after Close: "
                               "each kept buffer must be given back, at the latest in Close");
    }
    session.KeptBuffers().clear();
  }
  int result = 0;
  const bool exported = session.Real(ZH_ENTRY_UNLOAD) != nullptr;
  {
    InCall call(ZH_ENTRY_UNLOAD);
    result = CallReal(ZH_ENTRY_UNLOAD, request, reply);
    session.NoteUnload(exported, result, call.Ms());
  }
  session.SetPhase(ZH_PHASE_AFTER);
  session.CheckAfterUnload();
  return result;
}

int OnSeek(void* request, void* reply) {
  InCall call(ZH_ENTRY_SEEK);
  return CallReal(ZH_ENTRY_SEEK, request, reply);
}

}  // namespace

uint64_t HashBytes(const void* data, size_t length) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  uint64_t hash = 0xcbf29ce484222325ull;
  for (size_t i = 0; i < length; ++i) hash = (hash ^ bytes[i]) * 0x100000001b3ull;
  return hash;
}

int InterposedRead(ReadRequest* request, ReadReply* reply) {
  Session::Get().NoteReadEntered();
  InCall call(ZH_ENTRY_READ);
  return CallReal(ZH_ENTRY_READ, request, reply);
}

int InterposedWrite(WriteRequest* request, WriteReply* reply) {
  Session& session = Session::Get();
  std::lock_guard<std::mutex> turn(session.WriteLock());
  // The request is the plugin's to scribble on: what the core handed it is taken first.
  const void* data = request->data;
  const uint32_t length = request->length;
  if (data != nullptr) {
    BeforeDelivery(data, length, HashBytes(data, length),
                   "Write (code " + Hex(request->code) + ")");
  }
  int result;
  {
    InCall call(ZH_ENTRY_WRITE);
    result = CallReal(ZH_ENTRY_WRITE, request, reply);
  }
  CheckReply("WriteReply", reply->size, reply->version, sizeof(WriteReply));
  AfterDelivery(data, length, reply->retained);
  return result;
}

int InterposedIoctl(IoctlRequest* request, IoctlReply* reply) {
  if (request->command == IOCTL_AT_LOAD) {
    InCall call(ZH_ENTRY_IOCTL);
    return CallReal(ZH_ENTRY_IOCTL, request, reply);
  }
  Session& session = Session::Get();
  std::lock_guard<std::mutex> turn(session.WriteLock());
  const void* data = request->data;
  const uint32_t length = request->length;
  if (data != nullptr) {
    BeforeDelivery(data, length, HashBytes(data, length),
                   "IOCTL command " + std::to_string(request->command));
  }
  int result;
  {
    InCall call(ZH_ENTRY_IOCTL);
    result = CallReal(ZH_ENTRY_IOCTL, request, reply);
  }
  CheckReply("IoctlReply", reply->size, reply->version, sizeof(IoctlReply));
  AfterDelivery(data, length, reply->retained);
  return result;
}

void Interpose(PluginEntryFn entries[8]) {
  if (entries[ZH_ENTRY_LOAD] != nullptr) {
    entries[ZH_ENTRY_LOAD] = reinterpret_cast<PluginEntryFn>(&OnLoad);
  }
  entries[ZH_ENTRY_OPEN] = reinterpret_cast<PluginEntryFn>(&OnOpen);
  entries[ZH_ENTRY_CLOSE] = reinterpret_cast<PluginEntryFn>(&OnClose);
  entries[ZH_ENTRY_UNLOAD] = reinterpret_cast<PluginEntryFn>(&OnUnload);
  if (entries[ZH_ENTRY_READ] != nullptr) {
    entries[ZH_ENTRY_READ] = reinterpret_cast<PluginEntryFn>(&InterposedRead);
  }
  if (entries[ZH_ENTRY_WRITE] != nullptr) {
    entries[ZH_ENTRY_WRITE] = reinterpret_cast<PluginEntryFn>(&InterposedWrite);
  }
  if (entries[ZH_ENTRY_SEEK] != nullptr) {
    entries[ZH_ENTRY_SEEK] = reinterpret_cast<PluginEntryFn>(&OnSeek);
  }
  if (entries[ZH_ENTRY_IOCTL] != nullptr) {
    entries[ZH_ENTRY_IOCTL] = reinterpret_cast<PluginEntryFn>(&InterposedIoctl);
  }
}

int PluginCallback(const Message* message, MessageReply* reply) {
  Session& session = Session::Get();
  SentEntry entry;
  entry.sent.phase = session.Phase();
  entry.sent.entry = t_entry;
  if (entry.sent.phase == ZH_PHASE_AFTER) session.CountLateCallback();
  entry.sent.null_message = message == nullptr ? 1 : 0;
  entry.sent.null_reply = reply == nullptr ? 1 : 0;
  if (message != nullptr) {
    entry.sent.message = *message;
    if (message->flags != MSG_RELEASE && message->data != nullptr && message->length != 0) {
      entry.payload.assign(static_cast<const char*>(message->data), message->length);
    }
  }
  CheckMessage(message, reply);
  // The outcome is wanted even when the plugin gives no reply record to write it into.
  MessageReply own = {sizeof own, ZENT_RECORD_VERSION, RESULT_CHANNEL_REFUSED};
  MessageReply* answer = reply != nullptr ? reply : &own;
  if (message != nullptr && message->flags == MSG_RELEASE) {
    Release(*message, answer);
  } else if (!session.WithCore([&](Core&) { CoreCallback(message, answer); })) {
    answer->result = RESULT_CHANNEL_REFUSED;
  }
  entry.sent.result = answer->result;
  session.AddSent(std::move(entry));
  return 0;
}

}  // namespace zh
