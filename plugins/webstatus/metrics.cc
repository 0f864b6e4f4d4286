#include "metrics.h"

#include <charconv>
#include <functional>
#include <stdint.h>

#include "health.h"

namespace webstatus {
namespace {

std::string Number(double value) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

std::string Number(uint64_t value) { return std::to_string(value); }

std::string Escape(const std::string& value, bool quote) {
  std::string out;
  for (const char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '"' && quote) {
      out += "\\\"";
    } else {
      out += c;
    }
  }
  return out;
}

using Labels = std::vector<std::pair<const char*, std::string>>;

// Writes one family at a time: its HELP and TYPE lines, then its samples.
class Exposition {
 public:
  void Family(const char* name, const char* type, const char* help) {
    m_name = name;
    m_text += std::string("# HELP ") + name + " " + Escape(help, false) + "\n";
    m_text += std::string("# TYPE ") + name + " " + type + "\n";
  }
  void Sample(const Labels& labels, const std::string& value) {
    m_text += m_name;
    if (!labels.empty()) {
      m_text += '{';
      for (size_t i = 0; i < labels.size(); ++i) {
        if (i > 0) m_text += ',';
        m_text += std::string(labels[i].first) + "=\"" + Escape(labels[i].second, true) + "\"";
      }
      m_text += '}';
    }
    m_text += " " + value + "\n";
  }
  void Sample(const std::string& value) { Sample({}, value); }
  // A family of one sample.
  void One(const char* name, const char* type, const char* help, const std::string& value) {
    Family(name, type, help);
    Sample(value);
  }
  std::string Text() { return std::move(m_text); }

 private:
  std::string m_text;
  const char* m_name = "";
};

void ServerFamilies(const Statistics& s, double sinceStats, Exposition* out) {
  out->One("zentserver_start_time_seconds", "gauge", "When the server started, seconds since 1970.",
           Number(s.started));
  out->One("zentserver_uptime_seconds", "gauge", "Seconds since the server started.",
           Number(s.uptime));
  out->One("zentserver_resident_memory_bytes", "gauge", "Resident memory of the server process.",
           Number(s.process.rss));
  out->One("zentserver_threads", "gauge", "Threads of the server process.",
           Number(s.process.threads));
  out->One("zentserver_clock_jumps_total", "counter",
           "Times the wall clock was set and the plugins were told.", Number(s.process.clockJumps));
  out->Family("zentserver_log_messages_total", "counter", "Lines the server logged, by level.");
  out->Sample({{"level", "warning"}}, Number(s.process.warnings));
  out->Sample({{"level", "error"}}, Number(s.process.errors));

  const RoutingStats& r = s.routing;
  out->One("zentserver_queued_messages_total", "counter", "Queued messages accepted.",
           Number(r.queued));
  out->One("zentserver_delivered_messages_total", "counter",
           "Queued messages whose delivery has ended.", Number(r.delivered));
  out->Family("zentserver_refused_messages_total", "counter",
              "Queued messages refused, by reason: the channel, no memory, the queue's bound, "
              "the server stopping.");
  out->Sample({{"reason", "channel"}}, Number(r.refusedChannel));
  out->Sample({{"reason", "no_memory"}}, Number(r.refusedNoMemory));
  out->Sample({{"reason", "bound"}}, Number(r.refusedBound));
  out->Sample({{"reason", "stopping"}}, Number(r.refusedStopping));
  out->One("zentserver_queue_messages", "gauge", "Messages waiting in the queue.", Number(r.depth));
  out->One("zentserver_queue_bytes", "gauge", "Bytes held by the messages waiting in the queue.",
           Number(r.depthBytes));
  out->One("zentserver_queue_max_messages", "gauge", "The most messages that ever waited at once.",
           Number(r.depthMax));
  out->One("zentserver_queue_max_bytes", "gauge", "The most bytes that ever waited at once.",
           Number(r.depthBytesMax));
  out->One("zentserver_broadcasts_total", "counter", "Immediate broadcasts sent.",
           Number(r.broadcasts));
  out->One("zentserver_call_threads_started_total", "counter",
           "Call threads started (Read calls and load-time IOCTL calls).", Number(r.callThreads));

  out->One("zentserver_statistics_interval_seconds", "gauge",
           "How often the server sends its statistics.", Number(s.interval));
  out->One("zentserver_statistics_age_seconds", "gauge",
           "Seconds since the last statistics came; it grows while queued deliveries are held up.",
           Number(sinceStats));
}

// Families with one sample per plugin, and those with one per plugin and a label of their own.
void PluginFamilies(const std::vector<PluginStats>& plugins, Exposition* out) {
  const auto each = [&](const char* name, const char* type, const char* help,
                        const std::function<std::string(const PluginStats&)>& value) {
    out->Family(name, type, help);
    for (const PluginStats& p : plugins) out->Sample({{"plugin", p.file}}, value(p));
  };
  using Split = std::vector<std::pair<const char*, std::function<uint64_t(const PluginStats&)>>>;
  const auto split = [&](const char* name, const char* help, const char* label, const Split& parts,
                         double scale) {
    out->Family(name, "counter", help);
    for (const PluginStats& p : plugins) {
      for (const auto& [value, get] : parts) {
        out->Sample({{"plugin", p.file}, {label, value}},
                    scale == 1 ? Number(get(p)) : Number(get(p) * scale));
      }
    }
  };
  split("zentserver_plugin_calls_total", "Calls made into the plugin, by entry point.", "entry",
        {{"read", [](auto& p) { return p.reads; }},
         {"write", [](auto& p) { return p.writes; }},
         {"ioctl", [](auto& p) { return p.ioctls; }}},
        1);
  split("zentserver_plugin_call_seconds_total",
        "Time spent inside calls that returned, by entry point.", "entry",
        {{"read", [](auto& p) { return p.readUs; }},
         {"write", [](auto& p) { return p.writeUs; }},
         {"ioctl", [](auto& p) { return p.ioctlUs; }}},
        1e-6);
  each("zentserver_plugin_longest_call_seconds", "gauge", "The longest call that has returned.",
       [](auto& p) { return Number(p.longestUs * 1e-6); });
  each("zentserver_plugin_running_call_seconds", "gauge",
       "How long the event handler has been inside the plugin's Write or IOCTL (0: it is not).",
       [](auto& p) { return Number(p.running.empty() ? 0.0 : p.runningUs * 1e-6); });
  each("zentserver_plugin_call_threads", "gauge", "Call threads into the plugin now.",
       [](auto& p) { return Number(p.inFlight); });
  each("zentserver_plugin_call_threads_max", "gauge", "The most call threads into it at once.",
       [](auto& p) { return Number(p.inFlightMax); });
  split("zentserver_plugin_skipped_calls_total",
        "Calls not made: the plugin was closing, no thread could be had, the call bound.", "reason",
        {{"closed", [](auto& p) { return p.skippedClosed; }},
         {"no_thread", [](auto& p) { return p.skippedNoThread; }},
         {"bound", [](auto& p) { return p.skippedBound; }}},
        1);
  split("zentserver_plugin_sent_messages_total", "Queued messages the plugin sent, by answer.",
        "result",
        {{"ok", [](auto& p) { return p.sentQueued; }},
         {"refused", [](auto& p) { return p.sentRefused; }},
         {"no_memory", [](auto& p) { return p.sentNoMemory; }}},
        1);
  each("zentserver_plugin_broadcasts_total", "counter",
       "Broadcasts the plugin sent from inside a call into it.",
       [](auto& p) { return Number(p.sentBroadcasts); });
  each("zentserver_plugin_held_buffers", "gauge", "Queued payload buffers the plugin keeps.",
       [](auto& p) { return Number(p.held); });
  each("zentserver_plugin_held_buffer_bytes", "gauge", "Bytes of the buffers the plugin keeps.",
       [](auto& p) { return Number(p.heldBytes); });
  each("zentserver_plugin_oldest_held_buffer_seconds", "gauge",
       "How long the plugin has kept its oldest buffer (0: none).",
       [](auto& p) { return Number(p.oldestMs * 1e-3); });
  each("zentserver_plugin_bad_releases_total", "counter",
       "Releases that named no buffer the plugin held.",
       [](auto& p) { return Number(p.badReleases); });
  each("zentserver_plugin_stuck", "gauge",
       "1 when the plugin looks stuck: inside a Write or IOCTL for over 5 s, or keeping a buffer "
       "for over a minute.",
       [](auto& p) { return std::string(PluginMarks(p).empty() ? "0" : "1"); });
}

void ChannelFamilies(const std::vector<ChannelStats>& channels, Exposition* out) {
  if (channels.empty()) return;
  const auto each = [&](const char* name, const char* type, const char* help,
                        const std::function<std::string(const ChannelStats&)>& value) {
    out->Family(name, type, help);
    for (const ChannelStats& c : channels) {
      out->Sample({{"channel", std::to_string(c.number)}}, value(c));
    }
  };
  each("zentserver_channel_open", "gauge", "1 while the channel is open.",
       [](auto& c) { return std::string(c.open ? "1" : "0"); });
  each("zentserver_channel_waiting_senders", "gauge", "Senders waiting at the channel's gate.",
       [](auto& c) { return Number(c.waiting); });
  each("zentserver_channel_held_seconds", "gauge",
       "How long the message that holds the channel has held it (0: free).",
       [](auto& c) { return Number(c.heldMs * 1e-3); });
  each("zentserver_channel_messages_total", "counter", "Queued messages that took the channel.",
       [](auto& c) { return Number(c.passed); });
}

}  // namespace

std::string MetricsText(const Snapshot& snapshot) {
  Exposition out;
  if (snapshot.status) {
    out.Family("zentserver_info", "gauge", "The server's version.");
    out.Sample({{"version", snapshot.status->version}}, "1");
  }
  // The loaded plugins: from the statistics, else from the status document (without the
  // server's own entry, the one without load and open times).
  std::vector<Labels> plugins;
  if (snapshot.stats) {
    for (const PluginStats& p : snapshot.stats->plugins) {
      plugins.push_back({{"plugin", p.file},
                         {"id", std::to_string(p.id)},
                         {"open_code", std::to_string(p.openCode)}});
    }
  } else if (snapshot.status) {
    for (const StatusEntry& e : snapshot.status->entries) {
      if (!e.hasTimes) continue;
      plugins.push_back({{"plugin", e.file},
                         {"id", std::to_string(e.id)},
                         {"open_code", std::to_string(e.openCode)}});
    }
  }
  if (!plugins.empty()) {
    out.Family("zentserver_plugin_info", "gauge", "A loaded plugin, with its id and open code.");
    for (const Labels& labels : plugins) out.Sample(labels, "1");
  }
  out.One("zentserver_statistics_received_total", "counter",
          "Statistics documents this page has received.", Number(snapshot.statsReceived));
  out.One("zentserver_statistics_rejected_total", "counter",
          "Statistics documents this page could not read.", Number(snapshot.statsRejected));
  if (snapshot.stats) {
    ServerFamilies(*snapshot.stats, snapshot.sinceStats, &out);
    if (!snapshot.stats->plugins.empty()) PluginFamilies(snapshot.stats->plugins, &out);
    ChannelFamilies(snapshot.stats->channels, &out);
  }
  return out.Text();
}

}  // namespace webstatus
