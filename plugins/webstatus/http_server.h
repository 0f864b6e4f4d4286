// http_server.h: the status page's HTTP server, on libmicrohttpd.
//
// DESIGN
//
// What it owns. One libmicrohttpd daemon with its internal polling thread, which accepts the
// connections, reads the requests and answers each from a snapshot of the Store. It serves, to
// GET and HEAD only:
//   /             the page (text/html)
//   /stats.json   what the page draws (application/json)
//   /metrics      Prometheus' text format 0.0.4
//   /status.xml   the status document as the server sent it
// With credentials every request must carry HTTP basic authentication of a listed user;
// without, anybody who reaches the address is served (the configuration allows that beyond
// loopback only when told to).
//
// What it waits on. Only on the network, inside the library's thread; it never calls into the
// core, so it never waits for a channel, the queue or another plugin.
//
// Order. Each answer is made from one snapshot, so its figures belong to one document. Answers
// carry Cache-Control: no-store.
//
// How it stops. Stop (at Close, and at Unload should Close not have run) closes the listening
// socket and every connection and joins the library's thread: no request is served after it,
// and nothing of the plugin runs any more. Bounded: at most kConnectionLimit connections, each
// closed after kConnectionTimeoutSeconds of silence, and every answer is made in memory.
#ifndef ZENT_PLUGINS_WEBSTATUS_HTTP_SERVER_H_
#define ZENT_PLUGINS_WEBSTATUS_HTTP_SERVER_H_

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdint.h>
#include <string>

#include "snapshot.h"
#include "webstatus_config.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace webstatus {

constexpr unsigned kConnectionLimit = 64;
constexpr unsigned kConnectionTimeoutSeconds = 15;

class HttpServer {
 public:
  // config and store must outlive the server.
  HttpServer(const WebStatusConfig& config, const Store& store)
      : m_config(config), m_store(store) {}
  ~HttpServer() { Stop(); }
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds the address and starts serving; false with the reason in *error (the port is taken,
  // the address is not this machine's, no thread).
  bool Start(std::string* error);
  // The port it listens on (the one the kernel chose for port 0); 0 before Start.
  uint16_t port() const { return m_port; }
  // Where the page is, for the log: http://ADDRESS:PORT/ (an IPv6 address in brackets).
  std::string Url() const;
  // Stops serving and joins the library's thread. Later calls do nothing.
  void Stop();

  // The library's access handler.
  int Answer(MHD_Connection* connection, const char* url, const char* method);

 private:
  // Logs a refused login at most once a minute, with how many there were.
  void NoteRefusedLogin(MHD_Connection* connection);

  const WebStatusConfig& m_config;
  const Store& m_store;
  MHD_Daemon* m_daemon = nullptr;  // from Start to Stop, on the main thread
  uint16_t m_port = 0;

  std::mutex m_mu;  // guards the two below
  uint64_t m_refusedLogins = 0;
  std::chrono::steady_clock::time_point m_refusalLoggedAt;
};

}  // namespace webstatus

#endif  // ZENT_PLUGINS_WEBSTATUS_HTTP_SERVER_H_
