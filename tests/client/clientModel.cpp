#include "clientModel.hpp"

namespace corvane::plugins::mqttClient::testing {

std::string clientModelText(std::string_view config, std::string_view children, std::string_view dataPoints) {
  std::string text = R"({"dataPoints": [)";
  text.append(dataPoints);
  text.append(R"(], "elements": [{"skill": "MQTT", "class": "Client", "name": "broker", "config":)");
  text.append("\n");
  text.append(config);
  text.append("\n, \"children\": [");
  text.append(children);
  text.append("]}]}");
  return text;
}

std::string clientConfig(int port, std::string_view clientId, std::string_view members) {
  return clientConfig("127.0.0.1", port, clientId, members);
}

std::string clientConfig(std::string_view host, int port, std::string_view clientId, std::string_view members) {
  std::string text = R"({"brokerAddress": ")" + std::string(host) + ":" + std::to_string(port) + R"(", "clientID": ")";
  text.append(clientId);
  text.append("\"");
  if (!members.empty()) {
    text.append(", ");
    text.append(members);
  }
  text.append("}");
  return text;
}

ClientModel::ClientModel(std::string_view config, std::string_view children, std::string_view dataPoints,
                         const std::filesystem::path& baseDirectory) {
  model_.loadText(clientModelText(config, children, dataPoints), baseDirectory, "m.json");
  client_ = &dynamic_cast<Client&>(*model_.skillElement("broker"));
}

ClientModel::~ClientModel() {
  model_.stop();
  model_.shutdown();
}

}  // namespace corvane::plugins::mqttClient::testing
