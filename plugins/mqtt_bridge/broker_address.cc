#include "broker_address.h"

#include <chrono>
#include <errno.h>
#include <fcntl.h>
#include <memory>
#include <netdb.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace mqtt_bridge {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSliceMs = 100;

// One asynchronous lookup: the resolver's threads write into it until it is done.
struct Lookup {
  std::string name, service;
  addrinfo hints{};
  gaicb request{};
};

// Resolves host; false with *why on failure or stop.
bool Resolve(const std::string& host, int port, const FindOptions& options,
             const std::function<bool()>& stopping, addrinfo** result, std::string* why) {
  const std::string service = std::to_string(port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  if (getaddrinfo(host.c_str(), service.c_str(), &hints, result) == 0) return true;

#if defined(__SANITIZE_THREAD__)
  // getaddrinfo_a starts its resolver threads inside the C library, where ThreadSanitizer does
  // not see them start, and it crashes in them. Its builds look names up on this thread; the
  // test's delay is kept as in the other builds.
  hints.ai_flags = AI_ADDRCONFIG | AI_NUMERICSERV;
  const int found = getaddrinfo(host.c_str(), service.c_str(), &hints, result);
  const auto until = Clock::now() + std::chrono::milliseconds(options.resolveDelayMs);
  while (Clock::now() < until) {
    if (stopping()) {
      if (found == 0) freeaddrinfo(*result);
      why->clear();
      return false;
    }
    const timespec slice = {0, kSliceMs * 1000000L};
    nanosleep(&slice, nullptr);
  }
  if (found != 0) *why = std::string("cannot look up ") + host + ": " + gai_strerror(found);
  return found == 0;
#endif

  auto lookup = std::make_unique<Lookup>();
  lookup->name = host;
  lookup->service = service;
  lookup->hints.ai_family = AF_UNSPEC;
  lookup->hints.ai_socktype = SOCK_STREAM;
  lookup->hints.ai_flags = AI_ADDRCONFIG | AI_NUMERICSERV;
  lookup->request.ar_name = lookup->name.c_str();
  lookup->request.ar_service = lookup->service.c_str();
  lookup->request.ar_request = &lookup->hints;
  gaicb* list[1] = {&lookup->request};
  const int started = getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr);
  if (started != 0) {
    *why = std::string("cannot look up ") + host + ": " + gai_strerror(started);
    return false;
  }
  const auto notBefore = Clock::now() + std::chrono::milliseconds(options.resolveDelayMs);
  for (;;) {
    const int state = gai_error(&lookup->request);
    if (state != EAI_INPROGRESS && Clock::now() >= notBefore) {
      if (state != 0) {
        *why = std::string("cannot look up ") + host + ": " + gai_strerror(state);
        return false;
      }
      *result = lookup->request.ar_result;
      return true;
    }
    if (stopping()) {
      if (gai_cancel(&lookup->request) == EAI_NOTCANCELED) {
        // The resolver's thread still writes into it: left to it (see the header).
        lookup.release();
      } else if (gai_error(&lookup->request) == 0) {
        freeaddrinfo(lookup->request.ar_result);
      }
      why->clear();
      return false;
    }
    const timespec slice = {0, kSliceMs * 1000000L};
    const gaicb* waiting[1] = {&lookup->request};
    if (state == EAI_INPROGRESS) {
      gai_suspend(waiting, 1, &slice);
    } else {
      nanosleep(&slice, nullptr);
    }
  }
}

// Tries one address with a non-blocking connect; the socket is closed again either way.
bool Reachable(const addrinfo& address, int timeoutMs, const std::function<bool()>& stopping,
               std::string* why) {
  const int fd = socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                        address.ai_protocol);
  if (fd < 0) {
    *why = strerror(errno);
    return false;
  }
  bool ok = connect(fd, address.ai_addr, address.ai_addrlen) == 0;
  if (!ok && errno != EINPROGRESS) {
    *why = strerror(errno);
  } else if (!ok) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      pollfd p = {fd, POLLOUT, 0};
      const int ready = poll(&p, 1, kSliceMs);
      if (ready > 0) {
        int error = 0;
        socklen_t size = sizeof error;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
        ok = error == 0;
        if (!ok) *why = strerror(error);
        break;
      }
      if (ready < 0 && errno != EINTR) {
        *why = strerror(errno);
        break;
      }
      if (stopping()) {
        why->clear();
        break;
      }
      if (Clock::now() >= deadline) {
        *why = "no answer within " + std::to_string(timeoutMs / 1000) + " s";
        break;
      }
    }
  }
  close(fd);
  return ok;
}

}  // namespace

bool FindBroker(const std::string& host, int port, const FindOptions& options,
                const std::function<bool()>& stopping, std::string* address, std::string* why) {
  addrinfo* found = nullptr;
  if (!Resolve(host, port, options, stopping, &found, why)) return false;
  bool ok = false;
  for (const addrinfo* a = found; a != nullptr && !ok; a = a->ai_next) {
    std::string failure;
    if (Reachable(*a, options.connectTimeoutMs, stopping, &failure)) {
      char text[NI_MAXHOST];
      ok = getnameinfo(a->ai_addr, a->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) ==
           0;
      if (ok) *address = text;
    } else if (stopping()) {
      why->clear();
      break;
    } else if (why->empty() || a == found) {
      *why = failure;
    }
  }
  freeaddrinfo(found);
  return ok;
}

}  // namespace mqtt_bridge
