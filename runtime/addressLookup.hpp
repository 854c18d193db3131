#pragma once
// The client's host-name lookup, under the runner's name.
#include "client/addressLookup.hpp"

namespace corvane::run {
using plugins::mqttClient::AddressLookup;
}  // namespace corvane::run
