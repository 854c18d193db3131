// ThreadSanitizer reports that are not faults of the skill, kept out of the sanitized runs.
#if defined(__SANITIZE_THREAD__)

extern "C" const char* __tsan_default_suppressions() {
  return
      // libmosquitto holds its callback lock while the CONNACK handler takes the client's
      // mosquittoMutex (birth message, subscriptions), and holds that lock itself inside
      // mosquitto_connect_bind_v5; both happen on the network thread only, and no other thread takes
      // a libmosquitto lock while holding mosquittoMutex, so the cycle cannot close.
      "deadlock:corvane::plugins::mqttClient::ClientCallbacks::onConnect\n"
      // libmosquitto 2.0.11 unlocks its current-out-packet mutex, which it never locked, when an
      // MQTT 5 broker sends DISCONNECT.
      "mutex:libmosquitto.so.1\n";
}

#endif
