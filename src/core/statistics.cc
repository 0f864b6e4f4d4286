// The Core's counters as one snapshot, and the statistics document the scheduler sends.
//
// The document is TinyXML's compact form, as the status document is: declaration first, no
// indentation, attributes in the order they are set. Times are calendar seconds with
// milliseconds, durations integer microseconds or milliseconds as the attribute's name says.
#include "core/statistics.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <unordered_map>

#include <tinyxml.h>
#include <wx/log.h>

#include "core/core.h"
#include "core/file_names.h"
#include "core/log_counts.h"
#include "core/observers.h"
#include "core/plugin_calls.h"
#include "core/thread_log.h"
#include "pt/ticks.h"

namespace {

int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double CalendarNow() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

const char* EntryName(uint32_t op) {
  switch (op) {
    case kOpRead:
      return "Read";
    case kOpWrite:
      return "Write";
    case kOpIoctl:
      return "IOCTL";
    default:
      return "";
  }
}

std::string Decimal(double value, int digits) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", digits, value);
  return text;
}

std::string Whole(uint64_t value) { return std::to_string(value); }
std::string Micros(double seconds) { return Whole(static_cast<uint64_t>(seconds * 1e6 + 0.5)); }
std::string Millis(double seconds) { return Whole(static_cast<uint64_t>(seconds * 1e3 + 0.5)); }

TiXmlElement* Element(const char* name,
                      std::initializer_list<std::pair<const char*, std::string>> attributes) {
  auto* element = new TiXmlElement(name);
  for (const auto& [key, value] : attributes) element->SetAttribute(key, value);
  return element;
}

// A reading of the tick counter and the steady clock taken together: the steady clock is read
// on both sides and the pair is taken again (a few times at most) when the thread was
// preempted in between, which on a loaded machine would put milliseconds of error into a
// rate measured over a short time.
void ReadTogether(uint64_t* ticks, int64_t* ns) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    const int64_t before = SteadyNs();
    *ticks = pt::ticks();
    const int64_t after = SteadyNs();
    *ns = before + (after - before) / 2;
    if (after - before < 20'000) return;
  }
}

}  // namespace

TickClock::TickClock() { Restart(); }

void TickClock::Restart() {
  ReadTogether(&m_startTicks, &m_startNs);
  m_startCalendar = CalendarNow();
}

double TickClock::TicksPerSecond() const {
#if defined(__x86_64__) || defined(__i386__)
  // Measured from the start: the longer, the better. Too short a time to measure (a reader in
  // the first 10 ms) waits for it rather than guess: a guessed rate would convert the same
  // call's ticks into a different length than every later reading does.
  constexpr int64_t kShortest = 10'000'000;
  uint64_t ticks = 0;
  int64_t ns = 0;
  ReadTogether(&ticks, &ns);
  if (ns - m_startNs < kShortest) {
    std::this_thread::sleep_for(std::chrono::nanoseconds(kShortest - (ns - m_startNs)));
    ReadTogether(&ticks, &ns);
  }
  if (ticks <= m_startTicks || ns <= m_startNs) return 1e9;
  return static_cast<double>(ticks - m_startTicks) * 1e9 / static_cast<double>(ns - m_startNs);
#else
  return 1e9;  // the ticks are nanoseconds
#endif
}

double TickClock::Elapsed() const { return static_cast<double>(SteadyNs() - m_startNs) / 1e9; }

double TickClock::SecondsOf(uint64_t ticks) const {
  return static_cast<double>(ticks) / TicksPerSecond();
}

double TickClock::CalendarOf(uint64_t ticks) const {
  const double since =
      ticks >= m_startTicks ? SecondsOf(ticks - m_startTicks) : -SecondsOf(m_startTicks - ticks);
  return m_startCalendar + since;
}

uint64_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  unsigned long long pages = 0, resident = 0;
  if (!(statm >> pages >> resident)) return 0;
  return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

int ThreadCount() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 8, "Threads:") == 0) return std::atoi(line.c_str() + 8);
  }
  return 0;
}

CoreStatistics Core::Statistics() {
  CoreStatistics snapshot;
  const uint64_t now = pt::ticks();
  snapshot.time = CalendarNow();
  snapshot.started = m_ticks.Started();
  snapshot.uptime = m_ticks.Elapsed();
  snapshot.rss = ResidentBytes();
  snapshot.threads = ThreadCount();
  snapshot.clockJumps = m_clockJumps.load(std::memory_order_relaxed);
  snapshot.warnings = log_counts::Warnings();
  snapshot.errors = log_counts::Errors();
  {
    pt::lockguard guard(m_queueLock);
    snapshot.queued = m_queueCounts.queued;
    snapshot.depth = m_queue.size() + m_takenCount.load(std::memory_order_relaxed);
    snapshot.depthBytes = m_queuedBytes.load(std::memory_order_relaxed);
    snapshot.depthMax = m_queueCounts.depthMax;
    snapshot.depthBytesMax = m_queueCounts.depthBytesMax;
  }
  snapshot.delivered = m_delivered.load(std::memory_order_acquire);
  snapshot.broadcasts = m_broadcasts.load(std::memory_order_relaxed);
  snapshot.callThreads = m_callThreads.load(std::memory_order_relaxed);
  snapshot.refusedChannel = m_refusedChannel.load(std::memory_order_relaxed);
  snapshot.refusedNoMemory = m_refusedNoMemory.load(std::memory_order_relaxed);
  snapshot.refusedBound = m_refusedBound.load(std::memory_order_relaxed);
  snapshot.refusedStopping = m_refusedStopping.load(std::memory_order_relaxed);

  // What each plugin keeps: buffers, bytes and since when the oldest.
  struct Holding {
    uint64_t buffers = 0, bytes = 0, oldestSince = 0;
  };
  std::unordered_map<uint32_t, Holding> holdings;
  for (const BufferRefTable::Held& held : m_bufferRefs.Kept()) {
    for (uint32_t holder : held.holders) {
      Holding& holding = holdings[holder];
      ++holding.buffers;
      holding.bytes += held.length;
      if (holding.oldestSince == 0 || held.keptSince < holding.oldestSince) {
        holding.oldestSince = held.keptSince;
      }
    }
  }
  {
    pt::lockguard guard(m_pluginsLock);
    snapshot.plugins.reserve(m_plugins.size());
    for (const PluginRecord& plugin : m_plugins) {
      if (plugin.stats == nullptr) continue;
      PluginStats& stats = *plugin.stats;
      PluginStatistics out;
      out.id = plugin.info.id;
      out.file = ShownName(plugin.fileName);
      out.openCode = plugin.openCode;
      out.loadMs = plugin.loadTime.GetMilliseconds().GetValue();
      out.openMs = plugin.openTime.GetMilliseconds().GetValue();
      out.reads = stats.read.calls.load(std::memory_order_relaxed);
      out.writes = stats.write.calls.load(std::memory_order_relaxed);
      out.ioctls = stats.ioctl.calls.load(std::memory_order_relaxed);
      out.readSeconds = m_ticks.SecondsOf(stats.read.ticks.load(std::memory_order_relaxed));
      out.writeSeconds = m_ticks.SecondsOf(stats.write.ticks.load(std::memory_order_relaxed));
      out.ioctlSeconds = m_ticks.SecondsOf(stats.ioctl.ticks.load(std::memory_order_relaxed));
      const PluginStats::Longest longest = stats.LongestCall();
      if (longest.start != 0) {
        out.longestSeconds = m_ticks.SecondsOf(longest.ticks);
        out.longestEntry = EntryName(longest.op);
        out.longestAt = m_ticks.CalendarOf(longest.start);
      }
      const uint64_t running = stats.running.load(std::memory_order_relaxed);
      if (running != 0) {
        const uint64_t since = PluginStats::RunningSince(running);
        out.running = PluginStats::RunningIsIoctl(running) ? "IOCTL" : "Write";
        out.runningSeconds = now > since ? m_ticks.SecondsOf(now - since) : 0;
      }
      if (plugin.calls != nullptr) {
        const PluginCalls::Counts counts = plugin.calls->Snapshot();
        out.inFlight = counts.inFlight;
        out.inFlightMax = counts.mostInFlight;
        out.skippedClosed = counts.skippedClosed;
        out.skippedNoThread = counts.skippedNoThread;
        out.skippedBound = counts.skippedAtBound;
      }
      out.sentQueued = stats.sentQueued.load(std::memory_order_relaxed);
      out.sentRefused = stats.sentRefused.load(std::memory_order_relaxed);
      out.sentNoMemory = stats.sentNoMemory.load(std::memory_order_relaxed);
      out.broadcasts = stats.broadcasts.load(std::memory_order_relaxed);
      out.badReleases = stats.badReleases.load(std::memory_order_relaxed);
      if (const auto held = holdings.find(out.id); held != holdings.end()) {
        out.buffersHeld = held->second.buffers;
        out.bytesHeld = held->second.bytes;
        const uint64_t oldest = held->second.oldestSince;
        out.oldestHeldSeconds = now > oldest ? m_ticks.SecondsOf(now - oldest) : 0;
      }
      snapshot.plugins.push_back(std::move(out));
    }
  }
  for (const ChannelGates::ChannelState& channel : m_gates.Look()) {
    ChannelStatistics out;
    out.number = channel.channel;
    out.open = channel.open;
    out.waiting = channel.gate.waiters;
    const uint64_t since = channel.gate.heldSince;
    out.heldSeconds = since != 0 && now > since ? m_ticks.SecondsOf(now - since) : 0;
    out.passed = channel.gate.acquired;
    snapshot.channels.push_back(out);
  }
  return snapshot;
}

std::string StatisticsDocument(const CoreStatistics& s, uint64_t sequence, int intervalSeconds) {
  auto* root = Element("ZentStatistics", {{"Version", "1"},
                                          {"Sequence", Whole(sequence)},
                                          {"Time", Decimal(s.time, 3)},
                                          {"Started", Decimal(s.started, 3)},
                                          {"Uptime", Decimal(s.uptime, 3)},
                                          {"Interval", std::to_string(intervalSeconds)}});
  root->LinkEndChild(Element("Process", {{"Rss", Whole(s.rss)},
                                         {"Threads", std::to_string(s.threads)},
                                         {"ClockJumps", Whole(s.clockJumps)},
                                         {"Warnings", Whole(s.warnings)},
                                         {"Errors", Whole(s.errors)}}));
  root->LinkEndChild(Element("Routing", {{"Queued", Whole(s.queued)},
                                         {"Delivered", Whole(s.delivered)},
                                         {"Depth", Whole(s.depth)},
                                         {"DepthBytes", Whole(s.depthBytes)},
                                         {"DepthMax", Whole(s.depthMax)},
                                         {"DepthBytesMax", Whole(s.depthBytesMax)},
                                         {"Broadcasts", Whole(s.broadcasts)},
                                         {"CallThreads", Whole(s.callThreads)},
                                         {"RefusedChannel", Whole(s.refusedChannel)},
                                         {"RefusedNoMemory", Whole(s.refusedNoMemory)},
                                         {"RefusedBound", Whole(s.refusedBound)},
                                         {"RefusedStopping", Whole(s.refusedStopping)}}));
  auto* plugins = new TiXmlElement("Plugins");
  for (const PluginStatistics& p : s.plugins) {
    auto* plugin = Element("Plugin", {{"ID", Whole(p.id)},
                                      {"File", p.file},
                                      {"OpenCode", std::to_string(p.openCode)},
                                      {"LoadMs", std::to_string(p.loadMs)},
                                      {"OpenMs", std::to_string(p.openMs)}});
    plugin->LinkEndChild(Element("Calls", {{"Read", Whole(p.reads)},
                                           {"Write", Whole(p.writes)},
                                           {"Ioctl", Whole(p.ioctls)},
                                           {"ReadUs", Micros(p.readSeconds)},
                                           {"WriteUs", Micros(p.writeSeconds)},
                                           {"IoctlUs", Micros(p.ioctlSeconds)},
                                           {"LongestUs", Micros(p.longestSeconds)},
                                           {"LongestEntry", p.longestEntry},
                                           {"LongestAt", Decimal(p.longestAt, 3)},
                                           {"Running", p.running},
                                           {"RunningUs", Micros(p.runningSeconds)},
                                           {"InFlight", std::to_string(p.inFlight)},
                                           {"InFlightMax", std::to_string(p.inFlightMax)},
                                           {"SkippedClosed", std::to_string(p.skippedClosed)},
                                           {"SkippedNoThread", std::to_string(p.skippedNoThread)},
                                           {"SkippedBound", std::to_string(p.skippedBound)}}));
    plugin->LinkEndChild(Element("Sent", {{"Queued", Whole(p.sentQueued)},
                                          {"Refused", Whole(p.sentRefused)},
                                          {"NoMemory", Whole(p.sentNoMemory)},
                                          {"Broadcasts", Whole(p.broadcasts)}}));
    plugin->LinkEndChild(Element("Buffers", {{"Held", Whole(p.buffersHeld)},
                                             {"HeldBytes", Whole(p.bytesHeld)},
                                             {"OldestMs", Millis(p.oldestHeldSeconds)},
                                             {"BadReleases", Whole(p.badReleases)}}));
    plugins->LinkEndChild(plugin);
  }
  root->LinkEndChild(plugins);
  auto* channels = new TiXmlElement("Channels");
  for (const ChannelStatistics& c : s.channels) {
    channels->LinkEndChild(Element("Channel", {{"Number", Whole(c.number)},
                                               {"Open", c.open ? "1" : "0"},
                                               {"Waiting", std::to_string(c.waiting)},
                                               {"HeldMs", Millis(c.heldSeconds)},
                                               {"Passed", Whole(c.passed)}}));
  }
  root->LinkEndChild(channels);
  TiXmlDocument document;
  document.LinkEndChild(new TiXmlDeclaration("1.0", "UTF-8", "yes"));
  document.LinkEndChild(root);
  std::string text;
  text << document;
  return text;
}

void Core::PostStatistics(uint64_t sequence) {
  std::string text;
  try {
    text = StatisticsDocument(Statistics(), sequence, m_statisticsInterval);
  } catch (const std::bad_alloc&) {
    RouteThreadLog();
    wxLogError("no memory for the statistics document; it is not sent");
    return;
  }
  Message message;
  std::memset(&message, 0, sizeof message);
  message.size = sizeof message;
  message.version = ZENT_RECORD_VERSION;
  message.length = static_cast<uint32_t>(text.size());
  message.data = text.data();
  message.source = CORE_SOURCE;
  message.flags = MSG_CLASS_BIT(ZENT_STATISTICS_CLASS);
  message.code = ZENT_CODE_STATISTICS;
  MessageReply reply = {sizeof reply, ZENT_RECORD_VERSION, 0};
  HandleMessage(&message, &reply);
  if (reply.result == RESULT_NO_MEMORY) {
    RouteThreadLog();
    wxLogError("the statistics document was not posted (no memory)");
  }
}

wxString Core::PluginName(uint32_t id) const {
  pt::lockguard guard(m_pluginsLock);
  for (const PluginRecord& plugin : m_plugins) {
    if (plugin.info.id == id) {
      return wxString::Format("%s (id %u)", wxString::FromUTF8(ShownName(plugin.fileName)), id);
    }
  }
  return wxString::Format("id %u", id);
}

namespace {

// "a, b and c" of the names.
wxString Listed(const std::vector<wxString>& names) {
  wxString text;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += i + 1 == names.size() ? " and " : ", ";
    text += names[i];
  }
  return text;
}

}  // namespace

void Core::WarnOfHeldGates() {
  const uint64_t now = pt::ticks();
  for (const ChannelGates::ChannelState& channel : m_gates.Look()) {
    const uint64_t since = channel.gate.heldSince;
    if (since == 0 || now <= since) continue;
    const double held = m_ticks.SecondsOf(now - since);
    if (held * 1000 < m_limits.gateHeldWarningMs) continue;
    uint64_t& warned = m_gatesWarned[channel.channel];
    if (warned == channel.gate.acquired) continue;  // this message was reported already
    warned = channel.gate.acquired;
    BufferRefTable::Held buffer;
    wxString who;
    if (m_bufferRefs.Look(channel.gate.owner, &buffer) && !buffer.holders.empty()) {
      std::vector<wxString> names;
      for (uint32_t holder : buffer.holders) names.push_back(PluginName(holder));
      who = wxString::Format("a message of code 0x%08x that %s %s not given back", buffer.code,
                             Listed(names), names.size() == 1 ? "has" : "have");
    } else {
      who = "a message whose delivery has not ended (the event handler is busy)";
    }
    const wxString text = wxString::Format(
        "channel %u has been held for %.0f s by %s; its next sender waits until then",
        static_cast<unsigned>(channel.channel), held, who);
    RouteThreadLog();
    wxLogWarning("%s", text);
    NotifyFault({FaultNotice::Kind::kGateHeld, buffer.holders, std::string(text.utf8_str())});
  }
}

void Core::ReportKeptBuffers() {
  struct Kept {
    size_t buffers = 0;
    std::set<uint32_t> channels, codes;
  };
  std::map<uint32_t, Kept> byHolder;
  for (const BufferRefTable::Held& held : m_bufferRefs.Kept()) {
    for (uint32_t holder : held.holders) {
      Kept& kept = byHolder[holder];
      ++kept.buffers;
      kept.channels.insert(held.channel);
      kept.codes.insert(held.code);
    }
  }
  for (const auto& [holder, kept] : byHolder) {
    wxString channels, codes;
    for (uint32_t channel : kept.channels) {
      channels += wxString::Format("%s%u", channels.empty() ? "" : " ", channel);
    }
    for (uint32_t code : kept.codes) {
      codes += wxString::Format("%s0x%08x", codes.empty() ? "" : " ", code);
    }
    const wxString text = wxString::Format(
        "plugin %s still holds %zu buffer(s) after Close (channels %s; codes %s): each kept "
        "buffer must be given back, at the latest in Close",
        PluginName(holder), kept.buffers, channels, codes);
    wxLogWarning("%s", text);
    NotifyFault({FaultNotice::Kind::kKeptAfterClose, {holder}, std::string(text.utf8_str())});
  }
}
