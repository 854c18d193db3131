#pragma once
// Host-name lookup failures (getaddrinfo's EAI_* codes), as libmosquitto reports them.
#include <system_error>

namespace corvane::plugins::mqttClient {
const std::error_category& addressLookupErrorCategory() noexcept;  // "getaddrinfo"
}
