// A plain HTTP/1.1 client for the tests of what the server's plugins serve: one request on a
// connection of its own to a loopback port, read to the end with a bounded wait.
#ifndef ZENT_TESTS_SUPPORT_HTTP_CLIENT_H_
#define ZENT_TESTS_SUPPORT_HTTP_CLIENT_H_

#include <arpa/inet.h>
#include <chrono>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "support/test_support.h"

namespace zt {

struct HttpAnswer {
  int status = 0;                              // 0: no answer (the reason in error)
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  std::string error;
  std::string Header(const std::string& name) const {
    const auto it = headers.find(name);
    return it == headers.end() ? "" : it->second;
  }
};

inline std::string Base64(const std::string& text) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < text.size(); i += 3) {
    unsigned value = static_cast<unsigned char>(text[i]) << 16;
    if (i + 1 < text.size()) value |= static_cast<unsigned char>(text[i + 1]) << 8;
    if (i + 2 < text.size()) value |= static_cast<unsigned char>(text[i + 2]);
    out += kDigits[(value >> 18) & 63];
    out += kDigits[(value >> 12) & 63];
    out += i + 1 < text.size() ? kDigits[(value >> 6) & 63] : '=';
    out += i + 2 < text.size() ? kDigits[value & 63] : '=';
  }
  return out;
}

// Sends "METHOD PATH" to 127.0.0.1:port with Connection: close and, when user is not empty,
// HTTP basic authentication; reads the whole answer (at most timeoutMs).
inline HttpAnswer HttpRequest(int port, const std::string& method, const std::string& path,
                              const std::string& user = "", const std::string& password = "",
                              int timeoutMs = kWaitMs) {
  HttpAnswer answer;
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    answer.error = "cannot connect";
    close(fd);
    return answer;
  }
  std::string request = method + " " + path +
                        " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                        "\r\nConnection: close\r\n";
  if (!user.empty()) request += "Authorization: Basic " + Base64(user + ":" + password) + "\r\n";
  request += "\r\n";
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    answer.error = "cannot send";
    close(fd);
    return answer;
  }
  std::string raw;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    pollfd p = {fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) {
      answer.error = "no complete answer in time";
      break;
    }
    char chunk[65536];
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    raw.append(chunk, static_cast<size_t>(n));
  }
  close(fd);
  const size_t headEnd = raw.find("\r\n\r\n");
  if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || headEnd == std::string::npos) {
    if (answer.error.empty()) answer.error = "not an HTTP answer: " + raw.substr(0, 200);
    return answer;
  }
  answer.status = std::stoi(raw.substr(9, 3));
  size_t at = raw.find("\r\n") + 2;
  while (at < headEnd) {
    const size_t lineEnd = raw.find("\r\n", at);
    const std::string line = raw.substr(at, lineEnd - at);
    const size_t colon = line.find(':');
    std::string name = line.substr(0, colon);
    for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    answer.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
    at = lineEnd + 2;
  }
  answer.body = raw.substr(headEnd + 4);
  return answer;
}

inline HttpAnswer HttpGet(int port, const std::string& path, const std::string& user = "",
                          const std::string& password = "") {
  return HttpRequest(port, "GET", path, user, password);
}

}  // namespace zt

#endif  // ZENT_TESTS_SUPPORT_HTTP_CLIENT_H_
