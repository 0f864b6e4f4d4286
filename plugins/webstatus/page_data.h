// page_data.h: the snapshot as the page reads it (/stats.json), and the page itself (/).
//
// /stats.json holds the last statistics document (its counters under the names of the
// document, in lower camel case), the plugins and channels with what looks stuck about each,
// the notices about the server as a whole, and the history of the last 10 minutes for the
// charts. The page is one self-contained HTML document whose script draws everything from that
// JSON: once from a copy inlined into the page, so that it shows at once, and again every 2 s.
#ifndef ZENT_PLUGINS_WEBSTATUS_PAGE_DATA_H_
#define ZENT_PLUGINS_WEBSTATUS_PAGE_DATA_H_

#include <string>

#include "snapshot.h"

namespace webstatus {

std::string StatsJson(const Snapshot& snapshot);

// The page, with StatsJson of the snapshot inlined.
std::string PageHtml(const Snapshot& snapshot);

}  // namespace webstatus

#endif  // ZENT_PLUGINS_WEBSTATUS_PAGE_DATA_H_
