// What every shipped plugin's entry points share.
#ifndef ZENT_PLUGINS_COMMON_ENTRY_GUARD_H_
#define ZENT_PLUGINS_COMMON_ENTRY_GUARD_H_

namespace plugin_common {

// Runs an entry point's work; no exception (out of memory, no thread) crosses into the core,
// which gets `failed` instead.
template <typename Work>
int Guarded(int failed, Work work) {
  try {
    return work();
  } catch (...) {
    return failed;
  }
}

}  // namespace plugin_common

#endif  // ZENT_PLUGINS_COMMON_ENTRY_GUARD_H_
