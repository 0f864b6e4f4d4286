#include "page_data.h"

#include <cstring>
#include <nlohmann/json.hpp>

#include "health.h"

namespace webstatus {

// The page's template, made from page.html at configure time (page_template.cc).
extern const char kPageTemplate[];

namespace {

using nlohmann::json;

constexpr uint32_t kCoreId = 0x80000000u;
constexpr const char* kInitialMarker = "/*INITIAL_DATA*/";

json PluginJson(const PluginStats& p) {
  return {
      {"id", p.id},
      {"file", p.file},
      {"openCode", p.openCode},
      {"loadMs", p.loadMs},
      {"openMs", p.openMs},
      {"calls",
       {{"read", p.reads},
        {"write", p.writes},
        {"ioctl", p.ioctls},
        {"readUs", p.readUs},
        {"writeUs", p.writeUs},
        {"ioctlUs", p.ioctlUs},
        {"longestUs", p.longestUs},
        {"longestEntry", p.longestEntry},
        {"longestAt", p.longestAt},
        {"running", p.running},
        {"runningUs", p.runningUs},
        {"inFlight", p.inFlight},
        {"inFlightMax", p.inFlightMax},
        {"skippedClosed", p.skippedClosed},
        {"skippedNoThread", p.skippedNoThread},
        {"skippedBound", p.skippedBound}}},
      {"sent",
       {{"queued", p.sentQueued},
        {"refused", p.sentRefused},
        {"noMemory", p.sentNoMemory},
        {"broadcasts", p.sentBroadcasts}}},
      {"buffers",
       {{"held", p.held},
        {"heldBytes", p.heldBytes},
        {"oldestMs", p.oldestMs},
        {"badReleases", p.badReleases}}},
      {"marks", PluginMarks(p)},
  };
}

json StatisticsJson(const Statistics& s, double sinceStats) {
  const RoutingStats& r = s.routing;
  return {
      {"version", s.version},
      {"sequence", s.sequence},
      {"time", s.time},
      {"started", s.started},
      {"uptime", s.uptime},
      {"interval", s.interval},
      {"age", sinceStats},
      {"late", StatisticsLate(s.interval, sinceStats)},
      {"process",
       {{"rss", s.process.rss},
        {"threads", s.process.threads},
        {"clockJumps", s.process.clockJumps},
        {"warnings", s.process.warnings},
        {"errors", s.process.errors}}},
      {"routing",
       {{"queued", r.queued},
        {"delivered", r.delivered},
        {"depth", r.depth},
        {"depthBytes", r.depthBytes},
        {"depthMax", r.depthMax},
        {"depthBytesMax", r.depthBytesMax},
        {"broadcasts", r.broadcasts},
        {"callThreads", r.callThreads},
        {"refusedChannel", r.refusedChannel},
        {"refusedNoMemory", r.refusedNoMemory},
        {"refusedBound", r.refusedBound},
        {"refusedStopping", r.refusedStopping}}},
  };
}

json HistoryJson(const std::vector<ChartPoint>& points) {
  json ago = json::array(), queued = json::array(), broadcasts = json::array(),
       depth = json::array(), depthBytes = json::array(), rss = json::array();
  for (const ChartPoint& p : points) {
    ago.push_back(p.ago);
    queued.push_back(p.hasRate ? json(p.queuedRate) : json(nullptr));
    broadcasts.push_back(p.hasRate ? json(p.broadcastRate) : json(nullptr));
    depth.push_back(p.depth);
    depthBytes.push_back(p.depthBytes);
    rss.push_back(p.rss);
  }
  return {{"window", kHistorySeconds},
          {"ago", ago},
          {"queuedRate", queued},
          {"broadcastRate", broadcasts},
          {"depth", depth},
          {"depthBytes", depthBytes},
          {"rss", rss}};
}

}  // namespace

std::string StatsJson(const Snapshot& snapshot) {
  json doc = {{"host", snapshot.host}};
  doc["version"] = snapshot.status ? json(snapshot.status->version) : json(nullptr);
  doc["statistics"] =
      snapshot.stats ? StatisticsJson(*snapshot.stats, snapshot.sinceStats) : json(nullptr);
  json plugins = json::array(), channels = json::array();
  if (snapshot.stats) {
    for (const PluginStats& p : snapshot.stats->plugins) plugins.push_back(PluginJson(p));
    for (const ChannelStats& c : snapshot.stats->channels) {
      channels.push_back({{"number", c.number},
                          {"open", c.open},
                          {"waiting", c.waiting},
                          {"heldMs", c.heldMs},
                          {"passed", c.passed},
                          {"marks", ChannelMarks(c)}});
    }
  } else if (snapshot.status) {
    // Only what the status document says: no counters.
    for (const StatusEntry& e : snapshot.status->entries) {
      if (e.id == kCoreId && !e.hasTimes) continue;
      plugins.push_back({{"id", e.id},
                         {"file", e.file},
                         {"openCode", e.openCode},
                         {"loadMs", e.loadMs},
                         {"openMs", e.openMs},
                         {"calls", nullptr},
                         {"sent", nullptr},
                         {"buffers", nullptr},
                         {"marks", json::array()}});
    }
  }
  doc["plugins"] = plugins;
  doc["channels"] = channels;
  doc["history"] = HistoryJson(snapshot.history);
  doc["notices"] = Notices(snapshot.stats.get(), snapshot.sinceStats);
  // Bytes that are not UTF-8 (a plugin's file name may hold any) become U+FFFD.
  return doc.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string PageHtml(const Snapshot& snapshot) {
  std::string data = StatsJson(snapshot);
  // Inside a script element "</script" would end it and "<!--" change how it is read. A '<'
  // stands only inside JSON strings, where "\u003c" means the same.
  for (size_t at = data.find('<'); at != std::string::npos; at = data.find('<', at)) {
    data.replace(at, 1, "\\u003c");
  }
  std::string page = kPageTemplate;
  const size_t at = page.find(kInitialMarker);
  if (at != std::string::npos) page.replace(at, strlen(kInitialMarker), data);
  return page;
}

}  // namespace webstatus
