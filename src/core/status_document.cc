// Opening the plugins and the status document.
//
// Once every plugin is loaded, each one is opened in list order (its result and the call's
// duration are recorded, whatever they are), and an XML document that lists the core itself and
// every plugin is posted as a queued MSG_TO_OTHERS message from the core. The event handler
// delivers it, once it runs, to every plugin whose id is not CORE_SOURCE as IOCTL command 2.
//
// The text is TinyXML's compact stream form: declaration first, no indentation and no line
// breaks, attributes in the order they are set, numbers in signed decimal.
#include <cstdio>
#include <cstring>
#include <string>

#include <tinyxml.h>
#include <wx/log.h>

#include "core/core.h"
#include "core/file_names.h"

namespace {

constexpr int kVersion[4] = {3, 5, 9, 17308};

int Signed(uint32_t value) { return static_cast<int32_t>(value); }

int LowMilliseconds(const wxTimeSpan& span) {
  return static_cast<int32_t>(static_cast<uint32_t>(span.GetMilliseconds().GetValue()));
}

}  // namespace

bool Core::OpenAllPlugins() {
  for (size_t i = 0;; ++i) {
    PluginEntryFn open;
    PluginStats* stats;
    {
      pt::lockguard guard(m_pluginsLock);
      if (i >= m_plugins.size()) break;
      if (m_plugins[i].library == nullptr) continue;
      open = m_plugins[i].open;
      stats = m_plugins[i].stats;
    }
    OpenRequest request;
    std::memset(&request, 0, sizeof request);
    request.size = sizeof request;
    request.version = ZENT_RECORD_VERSION;
    OpenReply reply;
    std::memset(&reply, 0, sizeof reply);
    reply.size = sizeof reply;
    reply.version = ZENT_RECORD_VERSION;
    const wxDateTime before = wxDateTime::UNow();
    int code = 0;
    if (open != nullptr) {
      const CallingPlugin calling(stats);
      code = CallEntry(open, &request, &reply);
    }
    const wxTimeSpan took = wxDateTime::UNow() - before;
    pt::lockguard guard(m_pluginsLock);
    m_plugins[i].openTime = took;
    m_plugins[i].openCode = code;
  }

  const std::string text = BuildStatusDocument();
  Message message;
  std::memset(&message, 0, sizeof message);
  message.size = sizeof message;
  message.version = ZENT_RECORD_VERSION;
  message.length = static_cast<uint32_t>(text.size());
  message.data = text.data();
  message.source = CORE_SOURCE;
  message.channel = 0;
  message.flags = MSG_TO_OTHERS;
  message.code = ZENT_CODE_STATUS_DOCUMENT;
  MessageReply reply = {sizeof reply, ZENT_RECORD_VERSION, 0};
  HandleMessage(&message, &reply);
  if (reply.result != RESULT_OK) {
    wxLogError("the status document was not posted (result %d)", static_cast<int>(reply.result));
  }
  return true;
}

std::string Core::BuildStatusDocument() const {
  char version[100];
  std::snprintf(version, sizeof version, "%d.%d.%d.%d", kVersion[0], kVersion[1], kVersion[2],
                kVersion[3]);

  auto* self = new TiXmlElement("Plugin");
  self->SetAttribute("Filename", ShownName(std::string(m_exePath.GetFullName().utf8_str())));
  self->SetAttribute("Opened", 1);
  self->SetAttribute("OpenCode", 0);
  self->SetAttribute("ID", Signed(CORE_SOURCE));
  auto* module = new TiXmlElement("Module");
  module->SetAttribute("Name", "Core");
  module->SetAttribute("Version", version);
  module->SetAttribute("ID", Signed(CORE_SOURCE));
  module->LinkEndChild(self);
  auto* modules = new TiXmlElement("Modules");
  modules->LinkEndChild(module);
  auto* root = new TiXmlElement("Zent");
  root->SetAttribute("Delta", 0);
  root->LinkEndChild(modules);
  TiXmlDocument document;
  document.LinkEndChild(new TiXmlDeclaration("1.0", "UTF-8", "yes"));
  document.LinkEndChild(root);

  TiXmlElement* list =
      document.RootElement()->FirstChildElement("Modules")->FirstChildElement("Module");
  pt::lockguard guard(m_pluginsLock);
  for (const PluginRecord& plugin : m_plugins) {
    auto* element = new TiXmlElement("Plugin");
    element->SetAttribute("Filename", ShownName(plugin.fileName));
    element->SetAttribute("Opened", 1);
    element->SetAttribute("OpenCode", plugin.openCode);
    element->SetAttribute("LoadTime", LowMilliseconds(plugin.loadTime));
    element->SetAttribute("OpenTime", LowMilliseconds(plugin.openTime));
    element->SetAttribute("ID", Signed(plugin.info.id));
    list->LinkEndChild(element);
  }

  std::string text;
  text << document;  // TinyXML's stream printing: the compact form
  return text;
}
