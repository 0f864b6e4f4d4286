// broker_address.h: finding the broker on the network, without ever holding up a stop.
//
// The library resolves names and makes its TCP connection with blocking calls: a name server
// that does not answer, or a broker whose SYNs are dropped, would hold its caller for minutes,
// and no other thread can interrupt it. So the network thread finds the broker first: the name
// is resolved by the C library's asynchronous resolver (its own threads do the lookup), and each
// address is tried with a non-blocking connect; both wait in short slices and give up as soon
// as stopping() says so. The library is then connected to the numeric address that just
// accepted a connection, which resolves at once and is reached at once.
//
// A lookup still under way when the bridge stops is abandoned to the resolver's own thread,
// which finishes it and frees nothing: its request (a few hundred bytes) is left behind.
#ifndef ZENT_PLUGINS_MQTT_BRIDGE_BROKER_ADDRESS_H_
#define ZENT_PLUGINS_MQTT_BRIDGE_BROKER_ADDRESS_H_

#include <functional>
#include <string>

namespace mqtt_bridge {

struct FindOptions {
  int connectTimeoutMs = 10000;  // per address
  // Test seam: a lookup counts as finished only this long after it began, so that a test can
  // play a slow name server (ZENT_BRIDGE_TEST_RESOLVE_DELAY_MS).
  int resolveDelayMs = 0;
};

// Resolves host and returns in *address the numeric form of the first of its addresses that
// accepts a TCP connection on port. False with the reason in *why when none does, when the name
// cannot be resolved, or as soon as stopping() returns true (then *why is empty).
bool FindBroker(const std::string& host, int port, const FindOptions& options,
                const std::function<bool()>& stopping, std::string* address, std::string* why);

}  // namespace mqtt_bridge

#endif  // ZENT_PLUGINS_MQTT_BRIDGE_BROKER_ADDRESS_H_
