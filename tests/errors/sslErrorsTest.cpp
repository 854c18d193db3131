#include "ssl/errors.hpp"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509_vfy.h>

#include <cerrno>
#include <string>

namespace corvane::plugins::mqttClient::ssl {
namespace {

constexpr unsigned long kOperationFailed = 0x400C0107UL;
constexpr unsigned long kPemNoStartLine = 0x0480006CUL;

TEST(SslErrors, CategoryNames) {
  EXPECT_STREQ(errorCategory().name(), "OpenSSL");
  EXPECT_STREQ(certificateVerificationErrorCategory().name(), "OpenSSL.certificateVerification");
}

TEST(SslErrors, TakeErrorOnEmptyQueueStillReportsAFailure) {
  ERR_clear_error();
  const unsigned long code = takeError();
  EXPECT_EQ(code, kOperationFailed);
  const std::error_code error = makeError(code);
  EXPECT_EQ(&error.category(), &errorCategory());  // library 128, not the system library
  EXPECT_EQ(static_cast<unsigned>(error.value()), kOperationFailed);
  EXPECT_EQ(error.message(), "operation fail");  // the user library has no name of its own
}

TEST(SslErrors, TakeErrorGivesEarliestAndEmptiesQueue) {
  ERR_clear_error();
  ERR_raise(ERR_LIB_PEM, PEM_R_NO_START_LINE);
  ERR_raise(ERR_LIB_X509, X509_R_CERT_ALREADY_IN_HASH_TABLE);
  EXPECT_EQ(takeError(), kPemNoStartLine);
  EXPECT_EQ(ERR_peek_error(), 0UL);
  EXPECT_EQ(takeError(), kOperationFailed);  // nothing left over for the next failure
}

TEST(SslErrors, ParsingGarbageAsPemIsReportedPrecisely) {
  ERR_clear_error();
  BIO* bio = BIO_new_mem_buf("this is no certificate", -1);
  ASSERT_NE(bio, nullptr);
  X509* certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  EXPECT_EQ(certificate, nullptr);
  const std::error_code error = makeError(takeError());
  EXPECT_EQ(error, std::error_code(static_cast<int>(kPemNoStartLine), errorCategory()));
  EXPECT_EQ(error.message(), "PEM routines: no start line");
}

TEST(SslErrors, MissingFileBecomesTheSystemError) {
  ERR_clear_error();
  BIO* bio = BIO_new_file("/nonexistent-directory/ca.pem", "r");
  ASSERT_EQ(bio, nullptr);
  // OpenSSL queues errno behind its system-error flag; the user sees the operating system's text.
  EXPECT_EQ(makeError(takeError()), std::error_code(ENOENT, std::system_category()));
}

struct MakeErrorCase {
  const char* fault;
  unsigned long code;
  int value;
  bool system;  // expected in the system category, else in "OpenSSL"
};

TEST(SslErrors, MakeErrorSortsSystemErrorsOut) {
  const MakeErrorCase cases[] = {
      {"zero means success", 0, 0, true},
      {"bit 31 carries errno", 0x80000002UL, 2, true},
      {"bit 31 with other bits keeps them", 0x80012345UL, 0x12345, true},
      {"system library keeps only the reason", ERR_PACK(ERR_LIB_SYS, 0, 5), 5, true},
      {"PEM error stays OpenSSL", kPemNoStartLine, 0x0480006C, false},
      {"user library stays OpenSSL", kOperationFailed, 0x400C0107, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    const std::error_code error = makeError(c.code);
    EXPECT_EQ(error.value(), c.value);
    EXPECT_EQ(&error.category(), c.system ? &std::system_category() : &errorCategory());
  }
}

struct MessageCase {
  const char* fault;
  int value;
  std::string message;
};

TEST(SslErrors, MessagesComposeLibraryAndReason) {
  const MessageCase cases[] = {
      {"known library and reason", 0x0480006C, "PEM routines: no start line"},
      {"common reason in a library", 0x0A000086, "SSL routines: certificate verify failed"},
      // Right-aligned in eight places, padded with blanks rather than zeros.
      {"unknown reason, known library", 0x048007FF, "PEM routines: unknown OpenSSL error code  48007ff"},
      {"unknown library and reason", 0x3C0007FF, "unknown OpenSSL error code 3c0007ff"},
      {"unknown library, known reason", 0x3C0C0100, "malloc failure"},
      {"system library", 0x01000002, std::system_category().message(0x01000002)},
      {"zero", 0, std::system_category().message(0)},
      {"negative", -5, std::system_category().message(-5)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    EXPECT_EQ(errorCategory().message(c.value), c.message);
  }
}

TEST(SslErrors, CertificateVerificationTexts) {
  const std::error_code expired = makeCertificateVerificationError(X509_V_ERR_CERT_HAS_EXPIRED);
  EXPECT_EQ(expired.value(), 10);
  EXPECT_EQ(expired.message(), "certificate has expired");
  EXPECT_EQ(makeCertificateVerificationError(X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT).message(),
            "self-signed certificate");
  // Same value, other category: a verification result is not an OpenSSL queue code.
  EXPECT_NE(expired, std::error_code(10, errorCategory()));
}

}  // namespace
}  // namespace corvane::plugins::mqttClient::ssl
