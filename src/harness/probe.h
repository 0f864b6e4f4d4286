// The probe: a plugin built into the harness that stands in for the other plugins of a
// server. It subscribes to what the options say, receives what its masks select, and keeps
// the buffers delivered to it by Write when told to (so that it holds their channel, as a slow
// consumer does) until the test or its Close gives them back. The test sends as the probe
// (zh_send).
#ifndef ZENT_HARNESS_PROBE_H_
#define ZENT_HARNESS_PROBE_H_

#include <cstdint>
#include <mutex>
#include <vector>

#include "harness/harness.h"

namespace zh {

class Probe {
 public:
  // Its entry points, in the interface's order (Seek is left out).
  static void Entries(PluginEntryFn entries[8]);
  // Before the core starts: what it describes in Load.
  void Configure(const zh_options& options);
  uint32_t id() const { return id_; }
  // Gives back every buffer it keeps; returns how many.
  int ReleaseKept();

 private:
  static int Load(PluginContext* context, PluginInfo* info);
  static int Open(OpenRequest* request, OpenReply* reply);
  static int Read(ReadRequest* request, ReadReply* reply);
  static int Write(WriteRequest* request, WriteReply* reply);
  static int Ioctl(IoctlRequest* request, IoctlReply* reply);
  static int Close(CloseRequest* request, StatusReply* reply);
  static int Unload(UnloadRequest* request, StatusReply* reply);

  uint32_t id_ = 0;
  uint32_t masks_[ZENT_CLASS_MASKS] = {};
  bool acceptsRead_ = false, acceptsWrite_ = false, keeps_ = false;
  std::mutex mu_;
  std::vector<const void*> kept_;  // guarded by mu_
};

// The probe of the process (one harness at a time).
Probe& TheProbe();

}  // namespace zh

#endif  // ZENT_HARNESS_PROBE_H_
