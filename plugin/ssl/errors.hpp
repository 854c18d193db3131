#pragma once

#include <system_error>

// OpenSSL failures as error codes: the packed codes of OpenSSL's error queue, and the results of
// certificate verification (X509_V_ERR_*).
namespace corvane::plugins::mqttClient::ssl {

const std::error_category& errorCategory() noexcept;  // "OpenSSL"
const std::error_category& certificateVerificationErrorCategory() noexcept;

// A packed OpenSSL error code (as ERR_peek_error gives it). Operating system errors that OpenSSL
// carries go to the system category with their own number; everything else stays in "OpenSSL".
std::error_code makeError(unsigned long code) noexcept;

// A verification result as X509_STORE_CTX_get_error gives it, unchanged.
std::error_code makeCertificateVerificationError(int result) noexcept;

// The earliest error in the calling thread's OpenSSL error queue; empties the queue. A failed call
// that queued nothing still gives a non-zero code (ERR_LIB_USER, ERR_R_OPERATION_FAIL).
unsigned long takeError() noexcept;

}  // namespace corvane::plugins::mqttClient::ssl
