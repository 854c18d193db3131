#pragma once
// Lint of a client's TLS files: what prepare accepts but a handshake, or time, will not.
#include <string>

#include "client/client.hpp"
#include "lintSource.hpp"
#include "lintWarning.hpp"

namespace corvane::run {

// Days before a certificate's end from which it is worth a warning.
inline constexpr int kExpiryWarningDays = 30;

// A client certificate whose private key does not match it; a client or pinned server
// certificate that has expired or expires within kExpiryWarningDays; a CA file or directory
// from which OpenSSL gets no certificate.
void lintTls(const plugins::mqttClient::Client& client, const std::string& path, const LintSource& source,
             LintWarnings& warnings);

}  // namespace corvane::run
