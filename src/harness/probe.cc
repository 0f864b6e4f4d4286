#include "harness/probe.h"

#include <cstring>

#include "core/core.h"

namespace zh {

Probe& TheProbe() {
  static Probe* probe = new Probe;  // never destroyed: a late call may still reach it
  return *probe;
}

void Probe::Entries(PluginEntryFn entries[8]) {
  entries[0] = reinterpret_cast<PluginEntryFn>(&Probe::Load);
  entries[1] = reinterpret_cast<PluginEntryFn>(&Probe::Unload);
  entries[2] = reinterpret_cast<PluginEntryFn>(&Probe::Open);
  entries[3] = reinterpret_cast<PluginEntryFn>(&Probe::Close);
  entries[4] = reinterpret_cast<PluginEntryFn>(&Probe::Read);
  entries[5] = reinterpret_cast<PluginEntryFn>(&Probe::Write);
  entries[6] = nullptr;
  entries[7] = reinterpret_cast<PluginEntryFn>(&Probe::Ioctl);
}

void Probe::Configure(const zh_options& options) {
  id_ = options.probe_id;
  std::memcpy(masks_, options.probe_masks, sizeof masks_);
  acceptsRead_ = options.probe_accepts_read != 0;
  acceptsWrite_ = options.probe_accepts_write != 0;
  keeps_ = options.probe_keeps != 0;
  std::lock_guard<std::mutex> lock(mu_);
  kept_.clear();
}

int Probe::ReleaseKept() {
  std::vector<const void*> kept;
  {
    std::lock_guard<std::mutex> lock(mu_);
    kept.swap(kept_);
  }
  for (const void* buffer : kept) {
    Message message;
    std::memset(&message, 0, sizeof message);
    message.size = sizeof message;
    message.version = ZENT_RECORD_VERSION;
    message.data = buffer;
    message.source = id_;
    message.flags = MSG_RELEASE;
    MessageReply reply = {sizeof reply, ZENT_RECORD_VERSION, 0};
    CoreCallback(&message, &reply);
  }
  return static_cast<int>(kept.size());
}

int Probe::Load(PluginContext*, PluginInfo* info) {
  const Probe& probe = TheProbe();
  info->id = probe.id_;
  std::memcpy(info->classMasks, probe.masks_, sizeof info->classMasks);
  info->acceptsRead = probe.acceptsRead_ ? 1 : 0;
  info->acceptsWrite = probe.acceptsWrite_ ? 1 : 0;
  return 0;
}

int Probe::Open(OpenRequest*, OpenReply*) { return 0; }

int Probe::Read(ReadRequest*, ReadReply*) { return 0; }

int Probe::Write(WriteRequest* request, WriteReply* reply) {
  Probe& probe = TheProbe();
  if (!probe.keeps_ || request->data == nullptr) return 0;
  std::lock_guard<std::mutex> lock(probe.mu_);
  probe.kept_.push_back(request->data);
  reply->retained = 1;
  return 0;
}

int Probe::Ioctl(IoctlRequest*, IoctlReply*) { return 0; }

int Probe::Close(CloseRequest*, StatusReply*) {
  TheProbe().ReleaseKept();
  return 0;
}

int Probe::Unload(UnloadRequest*, StatusReply*) { return 0; }

}  // namespace zh
