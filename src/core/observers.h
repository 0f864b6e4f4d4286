// Observers of the Core for the plugin test harness (src/harness): what the loader does with a
// plugin file, and the faults of plugins that the Core logs as it finds them. The server sets
// none; with none set, nothing changes. One of each per process, set before a Core starts and
// cleared after it has stopped.
#ifndef ZENT_CORE_OBSERVERS_H_
#define ZENT_CORE_OBSERVERS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "plugin_api/plugin_api.h"

// Why the loader did not keep a file.
enum class LoadRefusal {
  kUntrusted,    // the file or a directory or link on the way to it fails the trust check
  kTruncated,    // cut short before the end of its segments
  kNotLoadable,  // the dynamic loader refused it
  kNoLoad,       // it exports no Load
  kRejected,     // its Load returned non-zero or set error
};

struct LoaderObserver {
  // A file was loaded and its entry points looked up (entries in the interface's order, null
  // where missing; exports says which it has), before Load is called. It may replace entries:
  // the Core then calls the replacements, which call the plugin's own. Null: not observed.
  void (*found)(const std::string& path, const bool exports[8], PluginEntryFn entries[8]);
  // The file was not kept, for the reason given as the log line says it. Null: not observed.
  void (*refused)(const std::string& path, LoadRefusal why, const std::string& reason);
};

// A fault that the Core logs as a warning: a channel's gate held long by a message (holders:
// the plugins that keep its buffer, none when its delivery has not ended), or buffers a plugin
// still keeps after the Close pass (holders: that plugin). text is the log line.
struct FaultNotice {
  enum class Kind { kGateHeld, kKeptAfterClose };
  Kind kind;
  std::vector<uint32_t> holders;
  std::string text;
};
using FaultObserver = void (*)(const FaultNotice& notice);

// Sets the observers (a null one, or null members, observe nothing).
void SetLoaderObserver(const LoaderObserver* observer);
void SetFaultObserver(FaultObserver observer);

// What the loader and the Core call (nothing when no observer is set).
void NotifyFound(const std::string& path, const bool exports[8], PluginEntryFn entries[8]);
void NotifyRefused(const std::string& path, LoadRefusal why, const std::string& reason);
void NotifyFault(const FaultNotice& notice);

#endif  // ZENT_CORE_OBSERVERS_H_
