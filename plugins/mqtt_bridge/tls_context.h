// tls_context.h: the TLS settings of the link to the broker, as one OpenSSL context.
//
// The bridge connects the library to the broker's numeric address (it resolves the name
// itself, see broker_address.h), so the library cannot check the certificate against the host
// name nor name the host in the handshake. The context does both: OpenSSL checks the broker's
// certificate against the CA file or directory (the system's store when neither is given) and
// against the configured host name or address, and the handshake names the host (SNI). It also
// holds the client's certificate and key, and the lowest TLS version accepted.
#ifndef ZENT_PLUGINS_MQTT_BRIDGE_TLS_CONTEXT_H_
#define ZENT_PLUGINS_MQTT_BRIDGE_TLS_CONTEXT_H_

#include <string>

#include "bridge_config.h"

typedef struct ssl_ctx_st SSL_CTX;

namespace mqtt_bridge {

// A new context for config (which must outlive it: the handshake reads config.host); null with
// the reason in *error when a file cannot be used. The caller owns the reference.
SSL_CTX* MakeTlsContext(const BridgeConfig& config, std::string* error);

// Why the last handshake on ssl (the library's SSL object) failed its certificate check, in
// words; empty when it did not.
std::string CertificateProblem(void* ssl);

}  // namespace mqtt_bridge

#endif  // ZENT_PLUGINS_MQTT_BRIDGE_TLS_CONTEXT_H_
