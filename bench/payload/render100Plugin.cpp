// Contender "plugin": the topic payload template, loaded, resolved and prepared as a topic does.
#include <cstdio>
#include <cstdlib>
#include <map>

#include <corvane/config.hpp>

#include "payload/payload.hpp"
#include "payload/render100.hpp"

namespace corvane::bench {

namespace {

using plugins::mqttClient::Payload;

class PointResolver final : public config::Resolver {
 public:
  explicit PointResolver(const Render100& workload) {
    for (const auto& point : workload.points) points_[point->primaryKey()] = point;
  }
  std::shared_ptr<model::Element> findElement(std::string_view path) const override {
    auto it = points_.find(path);
    return it == points_.end() ? nullptr : it->second;
  }

 private:
  std::map<std::string, std::shared_ptr<model::Element>, std::less<>> points_;
};

// The owner named in prepare's messages.
class Owner final : public skill::Element {};
class OwnerFactory final : public skill::ElementFactory {
 public:
  std::shared_ptr<Owner> make() { return create<Owner>(); }

 protected:
  model::Element& attach(std::shared_ptr<skill::Element>) override {
    node_ = std::make_shared<runtime::DataPoint>("bench/topic", utils::core::Uuid{}, data::DataType::kString);
    return *node_;
  }

 private:
  std::shared_ptr<model::Element> node_;
};

const Payload& preparedPayload(const Render100& workload) {
  static const Payload payload = [&] {
    static OwnerFactory factory;
    static std::shared_ptr<Owner> owner = factory.make();
    PointResolver resolver(workload);
    config::Context context(".", resolver);
    const Payload::LoadOptions options{"MQTT topic", true, true};
    Payload p;
    utils::json::decoder::Document document;
    auto value = document.read(workload.templateJson);
    Payload::load(p, value, context, options);
    document.finish();
    context.resolveAll();
    p.prepare({options.elementKind, *owner, workload.attributeNames});
    return p;
  }();
  return payload;
}

}  // namespace

std::string render100Plugin(const Render100& workload) {
  return preparedPayload(workload).render(workload.attributeNames);
}

BENCHMARK_CAPTURE(BM_Render100, plugin, "plugin", &render100Plugin);

}  // namespace corvane::bench
