#pragma once
// What a TLS client's OpenSSL context is built from: certificate files, and the callbacks that
// turn handshake failures into error codes (the client builds the context, client/clientTls.cpp).
#include <filesystem>
#include <vector>

#include <mosquitto.h>
#include <openssl/ssl.h>

#include <corvane/utils/expected.hpp>

#include "ssl/handles.hpp"

namespace corvane::plugins::mqttClient::ssl {

// The ex-data index under which a client's context carries a pointer to its client.
int sslContextIndex() noexcept;

// A certificate or key file as OpenSSL may be given it: a regular file of at most 256 MiB. It is
// opened without waiting (a FIFO without a writer would block the open) and judged by the opened
// descriptor. Its whole text in a memory BIO, or why not: CustomError::NotRegularFile,
// CustomError::FileTooLarge, or the system's error.
utils::Expected<BioHandle> readCertificateFile(const std::filesystem::path& path);

// The same judgement alone, for the files that OpenSSL opens by name itself; the empty code when
// the file may be given to it.
std::error_code checkCertificateFile(const std::filesystem::path& path);

// Every PEM certificate of the file, in order; an error when it cannot be read or holds none.
utils::Expected<std::vector<X509Handle>> loadServerCertificates(const std::filesystem::path& path);

// OpenSSL's info callback: keeps the system error of a handshake step that failed in a system
// call, which libmosquitto takes for a handshake still under way (a refused connection, say).
void onHandshakeStep(const SSL* connection, int where, int result);

// libmosquitto's log callback: keeps the OpenSSL code of the first error line of a failure.
void onLog(mosquitto* client, void* userData, int level, const char* text);

}  // namespace corvane::plugins::mqttClient::ssl
