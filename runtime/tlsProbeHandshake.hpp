#pragma once
// One TLS handshake with a broker, made the way a client makes it (its own OpenSSL context, its
// verification callback, the server name it sends), and what it showed of the broker's
// certificates. Nothing of MQTT is sent.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <openssl/asn1.h>

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
  // What a client would pin to trust this broker. A client takes every certificate of a pinned file
  // as a trust anchor, and OpenSSL anchors a chain only in a self-signed one: the chain up to a
  // self-signed root as the check by hand built it from what the broker sent and the client's trust
  // store; when it reached none, the broker's own certificate followed by what the broker sent with
  // it (unless it is self-signed). Empty when no certificate arrived.
  std::vector<CertificateFacts> pinnable;
  // How a client pinning exactly `pinnable` would verify the broker's chain (names left out): 0 when
  // it would, else why not (e.g. no self-signed root to anchor it); nothing when none arrived.
  std::optional<std::error_code> pinnableVerification;
};

// How the client trusts its broker, as `validate` and `tls-probe --json` name it: "noVerification",
// "pinnedCertificate", "caFile", "caDirectory" or "systemStore".
std::string_view trustMode(const plugins::mqttClient::Client::TlsConfig& tls);

// ISO 8601 in UTC; empty when OpenSSL cannot read it.
std::string certificateTime(const ASN1_TIME* time);

// `client` has its TLS context (Client::createTlsContext). Every wait ends by `timeout`.
HandshakeFacts probeHandshake(const plugins::mqttClient::Client& client, std::chrono::milliseconds timeout);

}  // namespace corvane::run
