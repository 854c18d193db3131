#include "client/mosquittoCall.hpp"

#include <mosquitto.h>

#include "errors/addressLookupError.hpp"
#include "errors/customError.hpp"
#include "errors/mosquittoErrors.hpp"
#include "ssl/errors.hpp"

namespace corvane::plugins::mqttClient {

std::error_code toErrorCode(int result, const CallbackState& capture) {
  switch (result) {
    case MOSQ_ERR_SUCCESS: return {0, std::system_category()};
    case MOSQ_ERR_PROTOCOL:
      return capture.callbackError.value() != 0 ? capture.callbackError : makeMosquittoError(result);
    case MOSQ_ERR_CONN_LOST:
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_TLS_HANDSHAKE:
      // A verification verdict explains a failed handshake better than the queue's last line.
      if (capture.callbackError.value() != 0 && result != MOSQ_ERR_CONN_LOST) return capture.callbackError;
      return capture.opensslError != 0 ? ssl::makeError(capture.opensslError) : makeMosquittoError(result);
    case MOSQ_ERR_ERRNO: return errnoError(errno);
    case MOSQ_ERR_EAI: return {errno, addressLookupErrorCategory()};
    default: return makeMosquittoError(result);
  }
}

}  // namespace corvane::plugins::mqttClient
