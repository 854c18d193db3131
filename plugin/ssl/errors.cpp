#include "ssl/errors.hpp"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace corvane::plugins::mqttClient::ssl {
namespace {

// OpenSSL 3 packs an error as: bit 31 = operating system error, bits 23..30 = library,
// bits 0..22 = reason.
constexpr std::uint32_t kSystemErrorFlag = 0x80000000U;
constexpr int kLibraryShift = 23;
constexpr std::uint32_t kLibraryMask = 0xFFU;
constexpr std::uint32_t kReasonMask = 0x7FFFFFU;
constexpr std::uint32_t kSystemLibrary = ERR_LIB_SYS;

constexpr std::uint32_t libraryOf(std::uint32_t code) noexcept {
  return (code >> kLibraryShift) & kLibraryMask;
}

constexpr unsigned long kOperationFailed = ERR_PACK(ERR_LIB_USER, 0, ERR_R_OPERATION_FAIL);
static_assert(kOperationFailed == 0x400C0107UL);

class ErrorCategory : public std::error_category {
 public:
  ErrorCategory() noexcept {
    // Library and reason texts are only there once OpenSSL has loaded them; a code may be shown
    // before anything else has initialised OpenSSL.
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  }

  const char* name() const noexcept override { return "OpenSSL"; }

  std::string message(int ev) const override {
    const auto code = static_cast<std::uint32_t>(ev);
    if (ev < 1 || libraryOf(code) == kSystemLibrary) return std::system_category().message(ev);

    std::string text;
    if (const char* library = ERR_lib_error_string(code)) {
      text += library;
      text += ": ";
    }
    if (const char* reason = ERR_reason_error_string(code)) {
      text += reason;
    } else {
      char hex[9];  // eight hexadecimal digits and the terminator
      std::snprintf(hex, sizeof hex, "%8x", static_cast<unsigned>(code));
      text += "unknown OpenSSL error code ";
      text += hex;
    }
    return text;
  }
};

class CertificateVerificationErrorCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "OpenSSL.certificateVerification"; }
  std::string message(int ev) const override { return X509_verify_cert_error_string(ev); }
};

}  // namespace

const std::error_category& errorCategory() noexcept {
  static const ErrorCategory instance;
  return instance;
}

const std::error_category& certificateVerificationErrorCategory() noexcept {
  static const CertificateVerificationErrorCategory instance;
  return instance;
}

std::error_code makeError(unsigned long code) noexcept {
  const auto packed = static_cast<std::uint32_t>(code);
  if (packed == 0) return {0, std::system_category()};
  if ((packed & kSystemErrorFlag) != 0) {
    return {static_cast<int>(packed & ~kSystemErrorFlag), std::system_category()};
  }
  if (libraryOf(packed) == kSystemLibrary) {
    return {static_cast<int>(packed & kReasonMask), std::system_category()};
  }
  return {static_cast<int>(packed), errorCategory()};
}

std::error_code makeCertificateVerificationError(int result) noexcept {
  return {result, certificateVerificationErrorCategory()};
}

unsigned long takeError() noexcept {
  const unsigned long code = ERR_peek_error();
  ERR_clear_error();
  return code != 0 ? code : kOperationFailed;
}

}  // namespace corvane::plugins::mqttClient::ssl
