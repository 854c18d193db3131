#pragma once
// A client built exactly as the runtime builds it: a model text with one "MQTT" client named
// "broker", its children and the data points they read, loaded, realized and prepared by the
// runtime core.
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include <corvane/runtime.hpp>

#include "client/client.hpp"

namespace corvane::plugins::mqttClient::testing {

// The model text ("m.json"): the client's configuration object starts on line 2, column 1.
std::string clientModelText(std::string_view config, std::string_view children = {},
                            std::string_view dataPoints = {});

// A configuration object for a client of a broker on 127.0.0.1: {"brokerAddress": ..., "clientID":
// ..., members}.
std::string clientConfig(int port, std::string_view clientId, std::string_view members = {});
// The same for a broker reached by another name or address.
std::string clientConfig(std::string_view host, int port, std::string_view clientId, std::string_view members = {});

class ClientModel {
 public:
  explicit ClientModel(std::string_view config, std::string_view children = {}, std::string_view dataPoints = {},
                       const std::filesystem::path& baseDirectory = ".");
  // The runtime's order: stop the tasks (if started), clean every element up, destroy them.
  ~ClientModel();
  ClientModel(const ClientModel&) = delete;
  ClientModel& operator=(const ClientModel&) = delete;

  void prepare() { model_.realizeAndPrepare(); }
  Client& client() const noexcept { return *client_; }
  // A child by its path below the client ("broker/" + name).
  template <class T>
  T& child(std::string_view name) const {
    return dynamic_cast<T&>(*model_.skillElement("broker/" + std::string(name)));
  }
  corvane::runtime::Model& model() noexcept { return model_; }

 private:
  corvane::runtime::Model model_;
  Client* client_ = nullptr;
};

}  // namespace corvane::plugins::mqttClient::testing
