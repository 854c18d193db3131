#pragma once
// One TLS handshake with a broker, made the way a client makes it (its own OpenSSL context, its
// verification callback, the server name it sends), and what it showed of the broker's
// certificates. Nothing of MQTT is sent.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "client/client.hpp"

namespace corvane::run {

// One certificate as the broker sent it.
struct CertificateFacts {
  std::string subject;
  std::string issuer;
  std::vector<std::string> subjectAltNames;  // "DNS:localhost", "IP Address:127.0.0.1", ...
  std::string notBefore;                     // ISO 8601, UTC
  std::string notAfter;
  std::int64_t daysLeft = 0;  // whole days until notAfter; negative once it has passed
  std::string sha256;         // "AB:CD:...", as openssl x509 -fingerprint -sha256 shows it
  bool selfSigned = false;    // its own issuer
  std::string pem;
};

struct HandshakeFacts {
  std::string serverName;  // sent in the ClientHello
  bool tcpConnected = false;
  bool handshakeDone = false;
  std::string protocol;  // "TLSv1.3"; empty before the handshake completed
  std::string cipher;
  // What the client would record as its error; 0 when it would connect.
  std::error_code error{0, std::system_category()};
  // The broker's chain as it was sent, its own certificate first; empty when none arrived.
  std::vector<CertificateFacts> chain;
  // Checked again by hand, each on its own; nothing when there was no certificate to check.
  std::optional<std::error_code> chainVerification;  // against the client's trust store, names left out
  std::optional<bool> hostMatches;    // also nothing when the client pins the certificate
  std::optional<bool> pinnedMatches;  // also nothing when the client pins none
};

// `client` has its TLS context (Client::createTlsContext). Every wait ends by `timeout`.
HandshakeFacts probeHandshake(const plugins::mqttClient::Client& client, std::chrono::milliseconds timeout);

}  // namespace corvane::run
