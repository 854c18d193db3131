#include "lint.hpp"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <memory>
#include <regex>
#include <system_error>
#include <vector>

#include "ssl/handles.hpp"
#include "ssl/tlsContext.hpp"
#include "tlsProbeHandshake.hpp"

namespace corvane::run {

namespace {

namespace mqtt = plugins::mqttClient;
namespace ssl = plugins::mqttClient::ssl;

// No OpenSSL error is left behind: a file lint cannot read is one prepare has already judged.
using ssl::ClearErrorsOnExit;
using ssl::PkeyHandle;

// Every PEM certificate of a file, in order, as OpenSSL's own loaders find them (other PEM
// blocks, such as keys and CRLs, are passed over); empty when the file cannot be read or is no
// regular file (one that replaced it since prepare judged it must not hang validate).
std::vector<ssl::X509Handle> readCertificates(const std::string& file) {
  ClearErrorsOnExit clear;
  std::vector<ssl::X509Handle> certificates;
  auto bio = ssl::readCertificateFile(file);
  if (!bio) return certificates;
  while (X509* certificate = PEM_read_bio_X509_AUX(bio->get(), nullptr, nullptr, nullptr)) {
    certificates.emplace_back(certificate);
  }
  return certificates;
}

PkeyHandle readPrivateKey(const std::string& file) {
  ClearErrorsOnExit clear;
  auto bio = ssl::readCertificateFile(file);
  if (!bio) return nullptr;
  return PkeyHandle(PEM_read_bio_PrivateKey(bio->get(), nullptr, nullptr, nullptr));
}

std::string dateText(const ASN1_TIME* time) {
  auto text = certificateTime(time);
  return text.empty() ? "an unreadable date" : text;
}

std::string subjectOf(const X509* certificate) {
  ssl::BioHandle bio(BIO_new(BIO_s_mem()));
  X509_NAME_print_ex(bio.get(), X509_get_subject_name(certificate), 0, XN_FLAG_RFC2253);
  char* data = nullptr;
  long length = BIO_get_mem_data(bio.get(), &data);
  return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string("(no subject)");
}

// `what` names the certificate ("client certificate", "pinned server certificate"); one
// warning per certificate of the file that has ended or ends soon.
void lintExpiry(const std::string& what, const std::string& file, Place place, const std::string& path,
                LintWarnings& warnings) {
  for (const auto& certificate : readCertificates(file)) {
    const ASN1_TIME* end = X509_get0_notAfter(certificate.get());
    int days = 0, seconds = 0;
    if (ASN1_TIME_diff(&days, &seconds, nullptr, end) != 1) continue;
    const double left = days + seconds / 86400.0;
    if (left >= kExpiryWarningDays) continue;
    std::string text = what + " " + inQuotes(subjectOf(certificate.get())) + " from " + inQuotes(file);
    if (left <= 0) {
      text += " expired on " + dateText(end) + ": the TLS handshake fails";
    } else {
      const long whole = std::lround(left);
      text += " expires on " + dateText(end) + ", in " + std::to_string(whole) + (whole == 1 ? " day" : " days");
    }
    warnings.push_back({std::move(text), path, place.location()});
  }
}

void lintClientKey(const corvane::security::CertificatePaths& paths, Place place, const std::string& path,
                   LintWarnings& warnings) {
  const std::string certificateFile = paths.certificatePath().string();
  const std::string keyFile = paths.privateKeyPath().string();
  auto certificates = readCertificates(certificateFile);
  auto key = readPrivateKey(keyFile);
  if (certificates.empty() || !key) return;
  ClearErrorsOnExit clear;
  // The first certificate of a chain file is the client's own, the one the key must sign for.
  if (X509_check_private_key(certificates.front().get(), key.get()) == 1) return;
  std::string text = "client certificate " + inQuotes(certificateFile);
  EVP_PKEY* certificateKey = X509_get0_pubkey(certificates.front().get());
  const char* certificateType = certificateKey ? EVP_PKEY_get0_type_name(certificateKey) : nullptr;
  const char* keyType = EVP_PKEY_get0_type_name(key.get());
  if (certificateType && keyType) text += std::string(" (") + certificateType + ")";
  text += " does not match its private key " + inQuotes(keyFile);
  if (certificateType && keyType) text += std::string(" (") + keyType + ")";
  text += ": the client cannot present it in the TLS handshake";
  warnings.push_back({std::move(text), path, place.location()});
}

// OpenSSL looks a CA directory up by subject hash: files named HASH.0, HASH.1, ...
bool isHashName(const std::string& name) {
  static const std::regex pattern("[0-9a-f]{8}\\.[0-9]+");
  return std::regex_match(name, pattern);
}

// What one directory offers OpenSSL's lookup; false when it cannot be read.
struct DirectoryContents {
  bool anyCertificate = false;
  bool anyUnderHash = false;
};
bool readDirectory(const std::string& directory, DirectoryContents& contents, std::string& failure) {
  std::error_code error;
  std::filesystem::directory_iterator it(directory, error);
  if (error) {
    failure = inQuotes(directory) + ": " + error.message();
    return false;
  }
  for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
    if (error) break;
    std::error_code fileError;
    if (!it->is_regular_file(fileError)) continue;
    if (readCertificates(it->path().string()).empty()) continue;
    contents.anyCertificate = true;
    if (isHashName(it->path().filename().string())) contents.anyUnderHash = true;
  }
  return true;
}

// OpenSSL takes the setting as a list of directories separated by ":".
void lintCaDirectory(const std::string& setting, Place place, const std::string& path, LintWarnings& warnings) {
  const std::string named = "CA certificate directory " + inQuotes(setting);
  DirectoryContents contents;
  std::string failures;
  for (std::size_t start = 0; start <= setting.size();) {
    std::size_t end = std::min(setting.find(':', start), setting.size());
    std::string failure;
    if (end > start && !readDirectory(setting.substr(start, end - start), contents, failure)) {
      failures += (failures.empty() ? "" : ", ") + failure;
    }
    start = end + 1;
  }
  if (!contents.anyCertificate) {
    std::string text = named + " holds no certificate";
    if (!failures.empty()) text += " (cannot read " + failures + ")";
    warnings.push_back({text + ": no broker certificate can be verified", path, place.location()});
  } else if (!contents.anyUnderHash) {
    warnings.push_back({named + " holds certificates, but none under the subject-hash names (HASH.0) that OpenSSL "
                                "looks up: run \"openssl rehash\" on it",
                        path, place.location()});
  }
}

}  // namespace

void lintTls(const mqtt::Client& client, const std::string& path, const LintSource& source, LintWarnings& warnings) {
  const auto& tls = client.tlsConfig();
  if (!tls) return;
  const Place config = source.config(path);
  const Place tlsBlock = config.key({"TLS"});

  if (!tls->clientCertificate.empty()) {
    // The new-style block's key, or the old-style one.
    const Place newStyle = tlsBlock.key({"clientCertificate"});
    const Place key = newStyle.found() ? newStyle : config.key({"clientCertificate"});
    lintClientKey(tls->clientCertificate, key, path, warnings);
    lintExpiry("client certificate", tls->clientCertificate.certificatePath().string(), key, path, warnings);
  }
  if (tls->serverCertificate) {
    lintExpiry("pinned server certificate", tls->serverCertificate->string(), tlsBlock.key({"serverCertificate"}),
               path, warnings);
  }
  // Without verification no CA is asked; with a pinned certificate none is loaded.
  if (tls->skipVerification || tls->serverCertificate) return;
  if (tls->caCertificateFile && readCertificates(*tls->caCertificateFile).empty()) {
    warnings.push_back({"CA certificate file " + inQuotes(*tls->caCertificateFile) +
                            " holds no certificate: no broker certificate can be verified against it",
                        path, config.key({"caCertificateFile"}).location()});
  }
  if (tls->caCertificateDirectory) {
    lintCaDirectory(*tls->caCertificateDirectory, config.key({"caCertificateDirectory"}), path, warnings);
  }
}

}  // namespace corvane::run
