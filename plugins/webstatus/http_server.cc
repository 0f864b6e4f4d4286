#include "http_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

#include "metrics.h"
#include "page_data.h"
#include "plugin_log.h"

namespace webstatus {
namespace {

constexpr const char* kRealm = "zentserver";
// The page may load nothing from elsewhere: its script and style are inline, its data comes
// from this server.
constexpr const char* kPagePolicy =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
    "connect-src 'self'; img-src data:; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'";

// The library's messages end with a line break of their own.
void LogFromLibrary(void*, const char* format, va_list args) {
  char text[512];
  vsnprintf(text, sizeof text, format, args);
  size_t length = strlen(text);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) text[--length] = 0;
  Log(LOG_WARNING, "%s", text);
}

MHD_Result AnswerRequest(void* self, MHD_Connection* connection, const char* url,
                         const char* method, const char*, const char*, size_t*, void**) {
  try {
    return static_cast<HttpServer*>(self)->Answer(connection, url, method) == MHD_YES ? MHD_YES
                                                                                      : MHD_NO;
  } catch (...) {
    return MHD_NO;  // the library closes the connection
  }
}

// Queues an answer whose body is copied; MHD_NO when the library could not take it.
int Send(MHD_Connection* connection, unsigned status, const std::string& body,
         const char* contentType, const char* policy = nullptr) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
  MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
  if (policy != nullptr) MHD_add_response_header(response, "Content-Security-Policy", policy);
  if (status == MHD_HTTP_METHOD_NOT_ALLOWED) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
  }
  const MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

std::string ClientAddress(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  char text[INET6_ADDRSTRLEN] = "?";
  if (info != nullptr && info->client_addr != nullptr) {
    const sockaddr* address = info->client_addr;
    if (address->sa_family == AF_INET) {
      inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text,
                sizeof text);
    } else if (address->sa_family == AF_INET6) {
      inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text,
                sizeof text);
    }
  }
  return text;
}

}  // namespace

bool HttpServer::Start(std::string* error) {
  sockaddr_storage address;
  memset(&address, 0, sizeof address);
  unsigned flags = MHD_USE_AUTO_INTERNAL_THREAD | MHD_USE_ERROR_LOG;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  if (inet_pton(AF_INET, m_config.address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(m_config.port);
  } else if (inet_pton(AF_INET6, m_config.address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(m_config.port);
    flags |= MHD_USE_IPv6;
  } else {
    *error = "not a numeric address: " + m_config.address;
    return false;
  }
  // The library reports why it could not start only through its logger, which must be the
  // first option to catch every message.
  m_daemon = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &AnswerRequest, this, MHD_OPTION_EXTERNAL_LOGGER, &LogFromLibrary,
      nullptr, MHD_OPTION_SOCK_ADDR, &address, MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit,
      MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutSeconds, MHD_OPTION_END);
  if (m_daemon == nullptr) {
    *error = "cannot serve on " + Url() + " (the reason is on the line before)";
    return false;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_BIND_PORT);
  m_port = info != nullptr ? info->port : m_config.port;
  return true;
}

std::string HttpServer::Url() const {
  const uint16_t port = m_port != 0 ? m_port : m_config.port;
  const bool v6 = m_config.address.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + m_config.address + "]" : m_config.address) + ":" +
         std::to_string(port) + "/";
}

void HttpServer::Stop() {
  if (m_daemon == nullptr) return;
  MHD_stop_daemon(m_daemon);
  m_daemon = nullptr;
}

void HttpServer::NoteRefusedLogin(MHD_Connection* connection) {
  const auto now = std::chrono::steady_clock::now();
  uint64_t count;
  {
    std::lock_guard<std::mutex> lock(m_mu);
    count = ++m_refusedLogins;
    if (count > 1 && now - m_refusalLoggedAt < std::chrono::minutes(1)) return;
    m_refusalLoggedAt = now;
  }
  Log(LOG_WARNING, "refused a request from %s: wrong user or password (%llu refused so far)",
      ClientAddress(connection).c_str(), static_cast<unsigned long long>(count));
}

int HttpServer::Answer(MHD_Connection* connection, const char* url, const char* method) {
  if (!m_config.credentials.empty()) {
    char* password = nullptr;
    char* user = MHD_basic_auth_get_username_password(connection, &password);
    const bool given = user != nullptr && password != nullptr;
    const bool known = given && m_config.credentials.Check(user, password);
    if (password != nullptr) {
      explicit_bzero(password, strlen(password));
      MHD_free(password);
    }
    if (user != nullptr) MHD_free(user);
    if (!known) {
      if (given) NoteRefusedLogin(connection);
      const std::string body = "This page needs a user name and password.\n";
      MHD_Response* response = MHD_create_response_from_buffer(
          body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
      if (response == nullptr) return MHD_NO;
      MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain; charset=utf-8");
      const MHD_Result queued = MHD_queue_basic_auth_fail_response(connection, kRealm, response);
      MHD_destroy_response(response);
      return queued;
    }
  }
  if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
    return Send(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "Only GET and HEAD are served.\n",
                "text/plain; charset=utf-8");
  }
  const std::string path = url;
  if (path == "/") {
    return Send(connection, MHD_HTTP_OK, PageHtml(m_store.Take()), "text/html; charset=utf-8",
                kPagePolicy);
  }
  if (path == "/stats.json") {
    return Send(connection, MHD_HTTP_OK, StatsJson(m_store.Take()), "application/json");
  }
  if (path == "/metrics") {
    return Send(connection, MHD_HTTP_OK, MetricsText(m_store.Take()), kMetricsContentType);
  }
  if (path == "/status.xml") {
    const Snapshot snapshot = m_store.Take();
    if (!snapshot.statusXml) {
      return Send(connection, MHD_HTTP_SERVICE_UNAVAILABLE,
                  "The server has not sent its status document yet.\n",
                  "text/plain; charset=utf-8");
    }
    return Send(connection, MHD_HTTP_OK, *snapshot.statusXml, "application/xml");
  }
  return Send(connection, MHD_HTTP_NOT_FOUND,
              "Not found. The pages are /, /metrics, /stats.json and /status.xml.\n",
              "text/plain; charset=utf-8");
}

}  // namespace webstatus
