#include "documents.h"

#include <cmath>
#include <errno.h>
#include <stdlib.h>

#include <tinyxml.h>

namespace webstatus {
namespace {

// Reads the attributes of one element; the first fault is kept and later reads do nothing.
class Attributes {
 public:
  Attributes(const TiXmlElement* element, std::string* error)
      : m_element(element), m_error(error) {}

  void Unsigned(const char* name, uint64_t* value) {
    const char* text = Text(name);
    if (text == nullptr) return;
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = strtoull(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != 0 || errno != 0) return Fault(name, text);
    *value = parsed;
  }
  void Unsigned32(const char* name, uint32_t* value) {
    uint64_t wide = *value;
    Unsigned(name, &wide);
    if (wide > 0xFFFFFFFFull) return Fault(name, Text(name));
    *value = static_cast<uint32_t>(wide);
  }
  void Signed(const char* name, int64_t* value) {
    const char* text = Text(name);
    if (text == nullptr) return;
    char* end = nullptr;
    errno = 0;
    const long long parsed = strtoll(text, &end, 10);
    const char first = *text == '-' ? text[1] : *text;
    if (first < '0' || first > '9' || *end != 0 || errno != 0) return Fault(name, text);
    *value = parsed;
  }
  // Seconds: a non-negative decimal number.
  void Seconds(const char* name, double* value) {
    const char* text = Text(name);
    if (text == nullptr) return;
    char* end = nullptr;
    const double parsed = strtod(text, &end);
    if (*text < '0' || *text > '9' || *end != 0 || !std::isfinite(parsed)) {
      return Fault(name, text);
    }
    *value = parsed;
  }
  void Flag(const char* name, bool* value) {
    uint64_t number = *value ? 1 : 0;
    Unsigned(name, &number);
    *value = number != 0;
  }
  void Text(const char* name, std::string* value) {
    if (const char* text = Text(name)) *value = text;
  }

 private:
  const char* Text(const char* name) {
    return m_error->empty() ? m_element->Attribute(name) : nullptr;
  }
  void Fault(const char* name, const char* text) {
    if (m_error->empty()) {
      *m_error = std::string(m_element->Value()) + " " + name + "=\"" + (text ? text : "") +
                 "\" is not a number of the expected kind";
    }
  }

  const TiXmlElement* m_element;
  std::string* m_error;
};

bool Load(const char* text, size_t length, TiXmlDocument* document, std::string* error) {
  const std::string copy(text == nullptr ? "" : std::string(text, length));
  document->Parse(copy.c_str(), nullptr, TIXML_ENCODING_UTF8);
  if (document->Error()) {
    *error = std::string("not XML: ") + document->ErrorDesc();
    return false;
  }
  if (document->RootElement() == nullptr) {
    *error = "no root element";
    return false;
  }
  return true;
}

void ReadPlugin(const TiXmlElement* element, PluginStats* plugin, std::string* error) {
  Attributes a(element, error);
  a.Unsigned32("ID", &plugin->id);
  a.Text("File", &plugin->file);
  a.Signed("OpenCode", &plugin->openCode);
  a.Unsigned("LoadMs", &plugin->loadMs);
  a.Unsigned("OpenMs", &plugin->openMs);
  if (const TiXmlElement* calls = element->FirstChildElement("Calls")) {
    Attributes c(calls, error);
    c.Unsigned("Read", &plugin->reads);
    c.Unsigned("Write", &plugin->writes);
    c.Unsigned("Ioctl", &plugin->ioctls);
    c.Unsigned("ReadUs", &plugin->readUs);
    c.Unsigned("WriteUs", &plugin->writeUs);
    c.Unsigned("IoctlUs", &plugin->ioctlUs);
    c.Unsigned("LongestUs", &plugin->longestUs);
    c.Text("LongestEntry", &plugin->longestEntry);
    c.Seconds("LongestAt", &plugin->longestAt);
    c.Text("Running", &plugin->running);
    c.Unsigned("RunningUs", &plugin->runningUs);
    c.Unsigned("InFlight", &plugin->inFlight);
    c.Unsigned("InFlightMax", &plugin->inFlightMax);
    c.Unsigned("SkippedClosed", &plugin->skippedClosed);
    c.Unsigned("SkippedNoThread", &plugin->skippedNoThread);
    c.Unsigned("SkippedBound", &plugin->skippedBound);
  }
  if (const TiXmlElement* sent = element->FirstChildElement("Sent")) {
    Attributes s(sent, error);
    s.Unsigned("Queued", &plugin->sentQueued);
    s.Unsigned("Refused", &plugin->sentRefused);
    s.Unsigned("NoMemory", &plugin->sentNoMemory);
    s.Unsigned("Broadcasts", &plugin->sentBroadcasts);
  }
  if (const TiXmlElement* buffers = element->FirstChildElement("Buffers")) {
    Attributes b(buffers, error);
    b.Unsigned("Held", &plugin->held);
    b.Unsigned("HeldBytes", &plugin->heldBytes);
    b.Unsigned("OldestMs", &plugin->oldestMs);
    b.Unsigned("BadReleases", &plugin->badReleases);
  }
}

}  // namespace

bool ParseStatistics(const char* text, size_t length, Statistics* out, std::string* error) {
  TiXmlDocument document;
  if (!Load(text, length, &document, error)) return false;
  const TiXmlElement* root = document.RootElement();
  if (std::string(root->Value()) != "ZentStatistics") {
    *error = std::string("the root element is ") + root->Value() + ", not ZentStatistics";
    return false;
  }
  Statistics stats;
  error->clear();
  Attributes a(root, error);
  a.Unsigned("Version", &stats.version);
  a.Unsigned("Sequence", &stats.sequence);
  a.Seconds("Time", &stats.time);
  a.Seconds("Started", &stats.started);
  a.Seconds("Uptime", &stats.uptime);
  a.Seconds("Interval", &stats.interval);
  if (error->empty() && stats.version < 1) *error = "ZentStatistics has no Version";
  if (const TiXmlElement* process = root->FirstChildElement("Process")) {
    Attributes p(process, error);
    p.Unsigned("Rss", &stats.process.rss);
    p.Unsigned("Threads", &stats.process.threads);
    p.Unsigned("ClockJumps", &stats.process.clockJumps);
    p.Unsigned("Warnings", &stats.process.warnings);
    p.Unsigned("Errors", &stats.process.errors);
  }
  if (const TiXmlElement* routing = root->FirstChildElement("Routing")) {
    Attributes r(routing, error);
    RoutingStats& s = stats.routing;
    r.Unsigned("Queued", &s.queued);
    r.Unsigned("Delivered", &s.delivered);
    r.Unsigned("Depth", &s.depth);
    r.Unsigned("DepthBytes", &s.depthBytes);
    r.Unsigned("DepthMax", &s.depthMax);
    r.Unsigned("DepthBytesMax", &s.depthBytesMax);
    r.Unsigned("Broadcasts", &s.broadcasts);
    r.Unsigned("CallThreads", &s.callThreads);
    r.Unsigned("RefusedChannel", &s.refusedChannel);
    r.Unsigned("RefusedNoMemory", &s.refusedNoMemory);
    r.Unsigned("RefusedBound", &s.refusedBound);
    r.Unsigned("RefusedStopping", &s.refusedStopping);
  }
  if (const TiXmlElement* plugins = root->FirstChildElement("Plugins")) {
    for (const TiXmlElement* plugin = plugins->FirstChildElement("Plugin"); plugin != nullptr;
         plugin = plugin->NextSiblingElement("Plugin")) {
      stats.plugins.emplace_back();
      ReadPlugin(plugin, &stats.plugins.back(), error);
    }
  }
  if (const TiXmlElement* channels = root->FirstChildElement("Channels")) {
    for (const TiXmlElement* channel = channels->FirstChildElement("Channel"); channel != nullptr;
         channel = channel->NextSiblingElement("Channel")) {
      ChannelStats c;
      Attributes a2(channel, error);
      a2.Unsigned32("Number", &c.number);
      a2.Flag("Open", &c.open);
      a2.Unsigned("Waiting", &c.waiting);
      a2.Unsigned("HeldMs", &c.heldMs);
      a2.Unsigned("Passed", &c.passed);
      stats.channels.push_back(c);
    }
  }
  if (!error->empty()) return false;
  *out = std::move(stats);
  return true;
}

bool ParseStatusDocument(const char* text, size_t length, StatusDocument* out, std::string* error) {
  TiXmlDocument document;
  if (!Load(text, length, &document, error)) return false;
  const TiXmlElement* root = document.RootElement();
  const TiXmlElement* modules = root->FirstChildElement("Modules");
  const TiXmlElement* module = modules ? modules->FirstChildElement("Module") : nullptr;
  if (std::string(root->Value()) != "Zent" || module == nullptr) {
    *error = "not a status document (no Zent/Modules/Module)";
    return false;
  }
  StatusDocument status;
  error->clear();
  Attributes m(module, error);
  m.Text("Version", &status.version);
  for (const TiXmlElement* plugin = module->FirstChildElement("Plugin"); plugin != nullptr;
       plugin = plugin->NextSiblingElement("Plugin")) {
    StatusEntry entry;
    Attributes a(plugin, error);
    int64_t id = 0;
    a.Signed("ID", &id);  // signed decimal: the server's own 0x80000000 is -2147483648
    if (error->empty() && (id < INT32_MIN || id > UINT32_MAX)) *error = "Plugin ID is out of range";
    entry.id = static_cast<uint32_t>(id);
    a.Text("Filename", &entry.file);
    a.Signed("OpenCode", &entry.openCode);
    entry.hasTimes = plugin->Attribute("LoadTime") != nullptr;
    a.Signed("LoadTime", &entry.loadMs);
    a.Signed("OpenTime", &entry.openMs);
    status.entries.push_back(entry);
  }
  if (!error->empty()) return false;
  *out = std::move(status);
  return true;
}

}  // namespace webstatus
