#include "core/observers.h"

#include <atomic>

namespace {

// Read by the loader (the thread that starts the Core) and by the scheduler thread.
std::atomic<const LoaderObserver*> g_loader{nullptr};
std::atomic<FaultObserver> g_fault{nullptr};

}  // namespace

void SetLoaderObserver(const LoaderObserver* observer) { g_loader.store(observer); }

void SetFaultObserver(FaultObserver observer) { g_fault.store(observer); }

void NotifyFound(const std::string& path, const bool exports[8], PluginEntryFn entries[8]) {
  const LoaderObserver* observer = g_loader.load();
  if (observer != nullptr && observer->found != nullptr) observer->found(path, exports, entries);
}

void NotifyRefused(const std::string& path, LoadRefusal why, const std::string& reason) {
  const LoaderObserver* observer = g_loader.load();
  if (observer != nullptr && observer->refused != nullptr) observer->refused(path, why, reason);
}

void NotifyFault(const FaultNotice& notice) {
  if (const FaultObserver observer = g_fault.load()) observer(notice);
}
