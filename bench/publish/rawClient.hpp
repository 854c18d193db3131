#pragma once
// The contender "libmosquitto": a plain client, MQTT 5, on its own network thread
// (mosquitto_loop_start), publishing with mosquitto_publish_v5 and counting its CONNACK and the
// publish callbacks into counters it may share with other clients.
#include <mosquitto.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "publish/publish.hpp"

namespace corvane::bench {

class RawClient {
 public:
  RawClient(const std::string& clientId, int port, Confirmations& connected, Confirmations& confirmed)
      : connected_(connected), confirmed_(confirmed) {
    static const int initialised = mosquitto_lib_init();
    (void)initialised;
    client_ = mosquitto_new(clientId.c_str(), true, this);
    if (!client_) fail("mosquitto_new", MOSQ_ERR_NOMEM);
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_v5_callback_set(client_, &RawClient::onConnect);
    mosquitto_publish_v5_callback_set(client_, &RawClient::onPublish);
    check("mosquitto_connect_bind_v5", mosquitto_connect_bind_v5(client_, "127.0.0.1", port, 60, nullptr, nullptr));
    check("mosquitto_loop_start", mosquitto_loop_start(client_));
  }
  ~RawClient() {
    mosquitto_disconnect_v5(client_, 0, nullptr);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
  }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  void publish(const char* topic, const std::string& payload, int qos = 0) {
    check("mosquitto_publish_v5", mosquitto_publish_v5(client_, nullptr, topic, static_cast<int>(payload.size()),
                                                       payload.data(), qos, false, nullptr));
  }

 private:
  static void onConnect(mosquitto*, void* self, int reasonCode, int, const mosquitto_property*) {
    if (reasonCode == 0) static_cast<RawClient*>(self)->connected_.add();
  }
  static void onPublish(mosquitto*, void* self, int, int reasonCode, const mosquitto_property*) {
    if (reasonCode < 128) static_cast<RawClient*>(self)->confirmed_.add();
  }
  static void check(const char* call, int result) {
    if (result != MOSQ_ERR_SUCCESS) fail(call, result);
  }
  [[noreturn]] static void fail(const char* call, int result) {
    std::fprintf(stderr, "libmosquitto contender: %s: %s\n", call, mosquitto_strerror(result));
    std::abort();
  }

  mosquitto* client_ = nullptr;
  Confirmations& connected_;
  Confirmations& confirmed_;
};

}  // namespace corvane::bench
