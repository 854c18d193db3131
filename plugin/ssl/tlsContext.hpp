#pragma once
// The OpenSSL client context a TLS client hands to libmosquitto, and the callbacks that turn
// verification and handshake failures into error codes.
#include <filesystem>
#include <vector>

#include <mosquitto.h>
#include <openssl/ssl.h>

#include <corvane/utils/expected.hpp>

#include "ssl/handles.hpp"

namespace corvane::plugins::mqttClient::ssl {

// The ex-data index under which a context carries its Client.
int sslContextIndex() noexcept;

// Every PEM certificate of the file, in order; an error when it cannot be read or holds none.
utils::Expected<std::vector<X509Handle>> loadServerCertificates(const std::filesystem::path& path);

// OpenSSL's verification callback: pins the broker's own certificate when one is configured and
// records why a check failed.
int verifyServerCertificate(int preverify, X509_STORE_CTX* store);

// OpenSSL's info callback: keeps the system error of a handshake step that failed in a system
// call, which libmosquitto takes for a handshake still under way (a refused connection, say).
void onHandshakeStep(const SSL* connection, int where, int result);

// libmosquitto's log callback: keeps the OpenSSL code of the first error line of a failure.
void onLog(mosquitto* client, void* userData, int level, const char* text);

}  // namespace corvane::plugins::mqttClient::ssl
