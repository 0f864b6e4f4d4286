// What a plugin's missing entry points mean, as the server and the inspector both report it.
//
// Seek is never called; Read and Write are needed only by a plugin that asks for those calls
// (acceptsRead, acceptsWrite); Open, Close, Unload and IOCTL are part of every plugin's life, and
// one that lacks them is told so (a plugin without IOCTL never sees the status document).
#ifndef ZENT_CORE_ENTRY_POINTS_H_
#define ZENT_CORE_ENTRY_POINTS_H_

#include <string>
#include <vector>

#include "plugin_api/plugin_api.h"

// The eight entry points in the interface's fixed order.
inline constexpr const char* kEntryPointNames[8] = {"Load", "Unload", "Open", "Close",
                                                    "Read", "Write",  "Seek", "IOCTL"};

// One sentence for each entry point that info needs and exports (in the order above) lacks.
inline std::vector<std::string> MissingEntryPoints(const bool exports[8], const PluginInfo& info) {
  enum { kUnload = 1, kOpen = 2, kClose = 3, kRead = 4, kWrite = 5, kIoctl = 7 };
  std::vector<std::string> missing;
  for (int entry : {kOpen, kClose, kUnload, kIoctl}) {
    if (exports[entry]) continue;
    std::string text =
        std::string("does not export ") + kEntryPointNames[entry] + ": the server skips that call";
    if (entry == kIoctl) text += " (so the plugin never sees the status document)";
    missing.push_back(text);
  }
  if (info.acceptsRead != 0 && !exports[kRead]) {
    missing.push_back("sets acceptsRead but does not export Read");
  }
  if (info.acceptsWrite != 0 && !exports[kWrite]) {
    missing.push_back("sets acceptsWrite but does not export Write");
  }
  return missing;
}

#endif  // ZENT_CORE_ENTRY_POINTS_H_
