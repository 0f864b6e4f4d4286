#include "tls_context.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace mqtt_bridge {
namespace {

bool IsAddress(const std::string& host) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

std::string OpenSslError() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown error";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

// At the start of every handshake: name the configured host (the library named the address).
void NameTheHost(const SSL* constSsl, int where, int) {
  if ((where & SSL_CB_HANDSHAKE_START) == 0) return;
  SSL* ssl = const_cast<SSL*>(constSsl);
  const auto* config = static_cast<const BridgeConfig*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  if (config != nullptr && !IsAddress(config->host)) {
    SSL_set_tlsext_host_name(ssl, config->host.c_str());
  } else {
    SSL_set_tlsext_host_name(ssl, nullptr);
  }
}

}  // namespace

SSL_CTX* MakeTlsContext(const BridgeConfig& config, std::string* error) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  const auto fail = [&](const std::string& what) {
    *error = what + ": " + OpenSslError();
    SSL_CTX_free(ctx);
    return nullptr;
  };
  if (ctx == nullptr) {
    *error = "cannot make a TLS context: " + OpenSslError();
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx,
                                config.tlsVersion == "tlsv1.3" ? TLS1_3_VERSION : TLS1_2_VERSION);
  if (!config.tlsCaFile.empty() || !config.tlsCaPath.empty()) {
    if (SSL_CTX_load_verify_locations(
            ctx, config.tlsCaFile.empty() ? nullptr : config.tlsCaFile.c_str(),
            config.tlsCaPath.empty() ? nullptr : config.tlsCaPath.c_str()) != 1) {
      return fail("cannot load the CA certificates of tls_ca_file or tls_ca_path");
    }
  } else if (SSL_CTX_set_default_verify_paths(ctx) != 1) {
    return fail("cannot load the system's CA certificates");
  }
  if (!config.tlsCertFile.empty()) {
    if (SSL_CTX_use_certificate_chain_file(ctx, config.tlsCertFile.c_str()) != 1) {
      return fail("cannot use the certificate \"" + config.tlsCertFile + "\"");
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, config.tlsKeyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
      return fail("cannot use the key \"" + config.tlsKeyFile + "\"");
    }
    if (SSL_CTX_check_private_key(ctx) != 1) {
      return fail("the key \"" + config.tlsKeyFile + "\" does not belong to the certificate");
    }
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  if (config.tlsVerifyHostname) {
    X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    const int ok = IsAddress(config.host)
                       ? X509_VERIFY_PARAM_set1_ip_asc(param, config.host.c_str())
                       : X509_VERIFY_PARAM_set1_host(param, config.host.c_str(), 0);
    if (ok != 1) return fail("cannot check certificates against \"" + config.host + "\"");
  }
  SSL_CTX_set_app_data(ctx, const_cast<BridgeConfig*>(&config));
  SSL_CTX_set_info_callback(ctx, NameTheHost);
  return ctx;
}

std::string CertificateProblem(void* ssl) {
  if (ssl == nullptr) return "";
  const long result = SSL_get_verify_result(static_cast<SSL*>(ssl));
  if (result == X509_V_OK) return "";
  return std::string("the broker's certificate: ") + X509_verify_cert_error_string(result);
}

}  // namespace mqtt_bridge
