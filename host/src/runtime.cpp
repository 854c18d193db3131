#include "corvane/runtime.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <numbers>
#include <queue>
#include <random>
#include <system_error>

namespace corvane::runtime {

namespace decoder = utils::json::decoder;
using utils::core::Uuid;

ModelError::ModelError(const std::string& file, decoder::Location location, const std::string& message)
    : std::runtime_error(file + ":" + std::to_string(location.line) + ":" + std::to_string(location.column) +
                         ": " + message),
      message_(message),
      location_(location) {}

Uuid uuidFromPath(std::string_view path) {
  static constexpr std::string_view kSalt = "corvane-model-element:";
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
  EVP_DigestUpdate(context, kSalt.data(), kSalt.size());
  EVP_DigestUpdate(context, path.data(), path.size());
  EVP_DigestFinal_ex(context, digest, &length);
  EVP_MD_CTX_free(context);
  Uuid uuid = Uuid::fromRawData(digest);
  uuid.bytes[6] = static_cast<std::uint8_t>((uuid.bytes[6] & 0x0F) | 0x80);  // version 8: custom
  uuid.bytes[8] = static_cast<std::uint8_t>((uuid.bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return uuid;
}

std::string readRegularFile(const std::filesystem::path& file) {
  auto failed = [&] { return std::system_error(errno, std::system_category(), file.string()); };
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) throw failed();
  struct Close {
    int fd;
    ~Close() { ::close(fd); }
  } close{fd};
  struct stat status {};
  if (::fstat(fd, &status) != 0) throw failed();
  if (!S_ISREG(status.st_mode)) throw FileRefused(file.string(), "not a regular file");
  if (static_cast<std::uintmax_t>(status.st_size) > kFileSizeLimit) {
    throw FileRefused(file.string(), "larger than 256 MiB");
  }
  // The size is a first guess only: the file may grow or shrink while it is read.
  std::string text(static_cast<std::size_t>(status.st_size), '\0');
  std::size_t length = 0;
  char beyond[65536];
  for (;;) {
    const bool inside = length < text.size();
    char* into = inside ? text.data() + length : beyond;
    const ssize_t got = ::read(fd, into, inside ? text.size() - length : sizeof beyond);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw failed();
    }
    if (got == 0) break;
    if (!inside) text.append(beyond, static_cast<std::size_t>(got));
    length += static_cast<std::size_t>(got);
    if (length > kFileSizeLimit) throw FileRefused(file.string(), "larger than 256 MiB");
  }
  text.resize(length);
  return text;
}

namespace {

// The model side of a skill element: answers attribute reads through the element's own handles.
class SkillElementNode final : public model::Element {
 public:
  SkillElementNode(std::string name, std::string path, Uuid uuid, std::weak_ptr<skill::Element> element)
      : model::Element(std::move(name), std::move(path), uuid), element_(std::move(element)) {}
  model::ElementCategory category() const noexcept override {
    auto e = element_.lock();
    return e ? e->category() : model::ElementCategory::kSkillElement;
  }
  data::ReadHandle attributeReadHandle(std::string_view name) const override {
    auto e = element_.lock();
    if (!e) return data::ReadHandle(data::ReadHandle::Error::kElementGone);
    const auto* attribute = e->resolveAttributeByName(name);
    if (!attribute) return data::ReadHandle(data::ReadHandle::Error::kNoSuchAttribute);
    auto handle = e->makeReadHandle(*attribute);
    if (!handle) return data::ReadHandle(data::ReadHandle::Error::kNoSuchAttribute);
    return *handle;
  }
  data::WriteHandle attributeWriteHandle(const model::Attribute& attribute) override {
    auto e = element_.lock();
    if (!e) return data::WriteHandle(data::WriteHandle::Error::kNoSuchAttribute);
    auto handle = e->makeWriteHandle(attribute);
    if (!handle) return data::WriteHandle(data::WriteHandle::Error::kReadOnly);
    return *handle;
  }
  bool forEachAttribute(const model::ForEachAttributeFunction& function) const override {
    auto e = element_.lock();
    return e && e->forEachAttribute(function);
  }

 private:
  std::weak_ptr<skill::Element> element_;
};

data::DataType parseType(std::string_view text, decoder::Location location) {
  if (text == "boolean" || text == "bool") return data::DataType::kBoolean;
  if (text == "integer" || text == "int64") return data::DataType::kInteger;
  if (text == "unsigned" || text == "uint64") return data::DataType::kUnsigned;
  if (text == "double" || text == "number") return data::DataType::kDouble;
  if (text == "string") return data::DataType::kString;
  if (text == "timeStamp") return data::DataType::kTimeStamp;
  throw decoder::Exception(location, "unknown data point type \"" + std::string(text) +
                                         "\" (expected boolean, integer, unsigned, double, string or timeStamp)");
}

data::Value readScalar(decoder::Value& value) {
  switch (value.kind()) {
    case decoder::Value::Kind::kBoolean: return value.asBoolean();
    case decoder::Value::Kind::kString: return std::string(value.asString());
    case decoder::Value::Kind::kNumber:
      switch (value.numberKind()) {
        case decoder::NumberKind::kSigned: return value.asInt64();
        case decoder::NumberKind::kUnsigned: return value.asUInt64();
        case decoder::NumberKind::kDouble: return value.asDouble();
      }
      break;
    case decoder::Value::Kind::kNull: value.asNull(); return {};
    default: break;
  }
  throw decoder::TypeMismatchError(value.location(), "expected a boolean, number or string value");
}

Uuid readUuid(decoder::Value& value) {
  auto location = value.location();
  auto uuid = Uuid::parse(value.asString());
  if (!uuid) throw decoder::Exception(location, "malformed UUID (expected 8-4-4-4-12 hexadecimal digits)");
  return *uuid;
}

// An element as the model file declares it, before it is created.
struct Declaration {
  std::string skill;
  std::string className;
  std::string name;
  std::optional<Uuid> uuid;
  std::string_view config;  // raw JSON text of "config"
  decoder::Location configLocation;
  std::map<std::string, std::chrono::nanoseconds, std::less<>> cycles;
  std::vector<Declaration> children;
  decoder::Location location;
};

Declaration readDeclaration(decoder::Value& value, bool child) {
  Declaration d;
  d.location = value.location();
  for (auto member : value.asObject()) {
    if (member.name == "skill" && !child) {
      d.skill = member.value.asString();
    } else if (member.name == "class") {
      d.className = member.value.asString();
    } else if (member.name == "name") {
      auto location = member.value.location();
      d.name = member.value.asString();
      if (d.name.empty() || d.name.find_first_of("/#") != std::string::npos) {
        throw decoder::Exception(location, "element name must be non-empty and contain neither \"/\" nor \"#\"");
      }
    } else if (member.name == "uuid") {
      d.uuid = readUuid(member.value);
    } else if (member.name == "config") {
      d.configLocation = member.value.location();
      if (!member.value.isObject()) throw decoder::TypeMismatchError(d.configLocation, "expected JSON object");
      d.config = member.value.rawJson();
    } else if (member.name == "tasks") {
      for (auto task : member.value.asObject()) {
        auto location = task.value.location();
        auto cycle = task.value.asDuration<std::chrono::nanoseconds>();
        if (cycle < std::chrono::milliseconds(1)) throw decoder::Exception(location, "task cycle must be at least 1ms");
        d.cycles[std::string(task.name.view())] = cycle;
      }
    } else if (member.name == "children") {
      for (auto element : member.value.asArray()) d.children.push_back(readDeclaration(element, true));
    } else if (member.name == "comment") {
      member.value.skip();
    } else {
      config::throwUnknownParameterError(member.name);
    }
  }
  if (!child && d.skill.empty()) throw decoder::Exception(d.location, "missing \"skill\" of element");
  if (d.className.empty()) throw decoder::Exception(d.location, "missing \"class\" of element");
  if (d.name.empty()) throw decoder::Exception(d.location, "missing \"name\" of element");
  return d;
}

std::shared_ptr<DataPoint> readDataPoint(decoder::Value& value) {
  auto location = value.location();
  std::string name;
  std::optional<data::DataType> type;
  std::optional<Uuid> uuid;
  std::optional<std::pair<data::Value, decoder::Location>> initial;
  std::optional<std::int64_t> quality;
  std::vector<std::pair<std::string, data::Value>> extra;
  std::optional<Simulation> simulation;
  bool readable = true, writable = true;
  for (auto member : value.asObject()) {
    if (member.name == "name") {
      auto at = member.value.location();
      name = member.value.asString();
      if (name.empty() || name.find('#') != std::string::npos || name.front() == '/' || name.back() == '/') {
        throw decoder::Exception(at, "data point name must be non-empty, contain no \"#\" and not begin or end with \"/\"");
      }
    } else if (member.name == "type") {
      auto at = member.value.location();
      type = parseType(member.value.asString(), at);
    } else if (member.name == "uuid") {
      uuid = readUuid(member.value);
    } else if (member.name == "value") {
      auto at = member.value.location();
      initial.emplace(readScalar(member.value), at);
    } else if (member.name == "quality") {
      quality = member.value.asInt64();
    } else if (member.name == "attributes") {
      for (auto attribute : member.value.asObject()) {
        if (attribute.name == "value" || attribute.name == "quality") {
          throw decoder::Exception(attribute.name.location(), "\"" + std::string(attribute.name.view()) +
                                                                  "\" is not an extra attribute");
        }
        extra.emplace_back(std::string(attribute.name.view()), readScalar(attribute.value));
      }
    } else if (member.name == "access") {
      auto at = member.value.location();
      auto access = member.value.asString();
      if (access == "readWrite") {
      } else if (access == "readOnly") {
        writable = false;
      } else if (access == "writeOnly") {
        readable = false;
      } else {
        throw decoder::Exception(at, "access must be \"readWrite\", \"readOnly\" or \"writeOnly\"");
      }
    } else if (member.name == "simulation") {
      Simulation s;
      for (auto field : member.value.asObject()) {
        if (field.name == "kind") {
          auto at = field.value.location();
          auto kind = field.value.asString();
          if (kind == "counter") s.kind = Simulation::Kind::kCounter;
          else if (kind == "sine") s.kind = Simulation::Kind::kSine;
          else if (kind == "randomWalk") s.kind = Simulation::Kind::kRandomWalk;
          else throw decoder::Exception(at, "simulation kind must be \"counter\", \"sine\" or \"randomWalk\"");
        } else if (field.name == "period") {
          auto at = field.value.location();
          s.period = field.value.asDuration<std::chrono::nanoseconds>();
          if (s.period < std::chrono::milliseconds(10)) throw decoder::Exception(at, "simulation period must be at least 10ms");
        } else if (field.name == "amplitude") {
          s.amplitude = field.value.asDouble();
        } else if (field.name == "offset") {
          s.offset = field.value.asDouble();
        } else {
          config::throwUnknownParameterError(field.name);
        }
      }
      simulation = s;
    } else if (member.name == "comment") {
      member.value.skip();
    } else {
      config::throwUnknownParameterError(member.name);
    }
  }
  if (name.empty()) throw decoder::Exception(location, "missing \"name\" of data point");
  if (!type) throw decoder::Exception(location, "missing \"type\" of data point");
  auto point = std::make_shared<DataPoint>(name, uuid ? *uuid : uuidFromPath(name), *type);
  if (initial) {
    if (auto e = point->setValue(initial->first, kNever)) {
      throw decoder::Exception(initial->second, "initial value does not fit the data point type: " + e.message());
    }
  }
  if (quality) point->setQuality(*quality);
  for (auto& [n, v] : extra) point->setExtraAttribute(std::move(n), std::move(v));
  point->setAccess(readable, writable);
  point->simulation = simulation;
  return point;
}

}  // namespace

// Creates skill elements and their model nodes.
class Model::Factory final : public skill::ElementFactory {
 public:
  Factory(std::string name, std::string path, Uuid uuid)
      : name_(std::move(name)), path_(std::move(path)), uuid_(uuid) {}
  std::shared_ptr<model::Element> node;
  std::shared_ptr<skill::Element> created;

 protected:
  model::Element& attach(std::shared_ptr<skill::Element> element) override {
    node = std::make_shared<SkillElementNode>(name_, path_, uuid_, element);
    created = std::move(element);
    return *node;
  }

 private:
  std::string name_, path_;
  Uuid uuid_;
};

struct Model::Impl {
  std::string text;  // the model file, which raw "config" views point into
  std::unique_ptr<config::Context> context;
  std::vector<std::map<std::string, std::chrono::nanoseconds, std::less<>>> cycles;  // per element

  // Scheduler
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  bool started = false;
  std::vector<std::thread> workers;
  std::thread simulator;
  using Due = std::pair<std::chrono::steady_clock::time_point, std::size_t>;
  std::priority_queue<Due, std::vector<Due>, std::greater<>> queue;
};

Model::Model() : impl_(std::make_unique<Impl>()) {}

Model::~Model() {
  try {
    if (impl_->started) stop();
    shutdown();
  } catch (...) {
  }
}

void Model::fail(decoder::Location location, const std::string& message) const {
  throw ModelError(fileName_, location, message);
}

void Model::load(const std::filesystem::path& file, const LoadOptions& options) {
  std::string text;
  try {
    text = readRegularFile(file);
  } catch (const FileRefused&) {
    throw;
  } catch (const std::exception&) {
    throw ModelError(file.string(), {}, "cannot open model file \"" + file.string() + "\"");
  }
  auto base = file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
  loadOwnedText(std::move(text), base, file.string(), options);
}

void Model::loadText(std::string_view text, const std::filesystem::path& baseDirectory, const std::string& fileName,
                     const LoadOptions& options) {
  loadOwnedText(std::string(text), baseDirectory, fileName, options);
}

std::string_view Model::text() const noexcept { return impl_->text; }

void Model::loadOwnedText(std::string text, const std::filesystem::path& baseDirectory, const std::string& fileName,
                          const LoadOptions& options) {
  fileName_ = fileName;
  impl_->text = std::move(text);
  impl_->context = std::make_unique<config::Context>(baseDirectory, *this);

  for (const auto& library : options.libraries) {
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) throw ModelError(fileName_, {}, std::string("cannot load skill library: ") + dlerror());
    libraries_.push_back(handle);
  }

  decoder::Document document;
  std::vector<Declaration> declarations;
  try {
    auto root = document.read(impl_->text);
    for (auto member : root.asObject()) {
      if (member.name == "dataPoints") {
        for (auto value : member.value.asArray()) {
          auto location = value.location();
          auto point = readDataPoint(value);
          if (byPath_.count(point->primaryKey())) fail(location, "duplicate element \"" + point->primaryKey() + "\"");
          byPath_[point->primaryKey()] = point;
          dataPoints_.push_back(std::move(point));
        }
      } else if (member.name == "elements") {
        for (auto value : member.value.asArray()) declarations.push_back(readDeclaration(value, false));
      } else if (member.name == "comment") {
        member.value.skip();
      } else {
        config::throwUnknownParameterError(member.name);
      }
    }
    document.finish();
  } catch (const decoder::Exception& e) {
    fail(e.location(), e.message());
  }

  // Create and load depth-first, parents before their children, in file order.
  std::function<void(const Declaration&, const std::string&, std::size_t, const std::string&)> create;
  create = [&](const Declaration& d, const std::string& skillName, std::size_t parent, const std::string& prefix) {
    std::string path = prefix.empty() ? d.name : prefix + "/" + d.name;
    if (byPath_.count(path)) fail(d.location, "duplicate element \"" + path + "\"");
    auto it = skills_.find(skillName);
    if (it == skills_.end()) {
      const auto* skillClass = skill::findSkillClass(skillName);
      if (!skillClass) fail(d.location, "unknown skill \"" + skillName + "\"");
      it = skills_.emplace(skillName, skillClass->createSkill()).first;
    }
    struct Classes final : skill::ElementClassRegistry {
      std::vector<const skill::Element::Class*> list;
      void add(const skill::Element::Class& c) override { list.push_back(&c); }
    } classes;
    skill::findSkillClass(skillName)->registerElements(classes);
    const skill::Element::Class* elementClass = nullptr;
    for (const auto* c : classes.list) {
      if (c->name() == d.className) elementClass = c;
    }
    if (!elementClass) fail(d.location, "skill \"" + skillName + "\" has no element class \"" + d.className + "\"");

    Factory factory(d.name, path, d.uuid ? *d.uuid : uuidFromPath(path));
    std::shared_ptr<skill::Element> element;
    try {
      element = parent == SIZE_MAX ? it->second->createElement(*elementClass, factory)
                                   : elements_[parent].element->createChildElement(*elementClass, factory);
    } catch (const std::exception& e) {
      fail(d.location, "element \"" + path + "\": " + e.what());
    }
    if (!element) {
      fail(d.location, parent == SIZE_MAX
                           ? "class \"" + d.className + "\" cannot be created at the top level"
                           : "class \"" + d.className + "\" cannot be a child of \"" + elements_[parent].path + "\"");
    }
    ElementEntry entry{element, factory.node, skillName, d.className, path, parent, d.location};
    std::size_t index = elements_.size();
    elements_.push_back(entry);
    impl_->cycles.push_back(d.cycles);
    byPath_[path] = factory.node;
    try {
      decoder::Document configDocument;
      auto configText = d.config.empty() ? std::string_view("{}") : d.config;
      auto value = configDocument.read(configText, d.config.empty() ? d.location : d.configLocation);
      element->load(value.asObject(), *impl_->context);
    } catch (const decoder::Exception& e) {
      fail(e.location(), e.message() + " (element \"" + path + "\")");
    } catch (const std::exception& e) {
      fail(d.configLocation.line ? d.configLocation : d.location, std::string(e.what()) + " (element \"" + path + "\")");
    }
    for (const auto& child : d.children) create(child, skillName, index, path);
  };
  for (const auto& d : declarations) create(d, d.skill, SIZE_MAX, "");

  try {
    impl_->context->resolveAll();
  } catch (const decoder::Exception& e) {
    fail(e.location(), e.message());
  }
}

void Model::realizeAndPrepare() {
  auto step = [&](auto&& call) {
    for (auto& entry : elements_) {
      try {
        call(*entry.element);
      } catch (const std::exception& e) {
        fail(entry.location, "element \"" + entry.path + "\": " + e.what());
      }
    }
  };
  step([](skill::Element& e) { e.realize(); });
  step([](skill::Element& e) { e.postRealize(); });
  step([](skill::Element& e) { e.prepare(); });
  step([](skill::Element& e) { e.postPrepare(); });

  tasks_.clear();
  for (std::size_t i = 0; i < elements_.size(); ++i) {
    elements_[i].element->forEachTask([&](const process::Task::Role& role, const std::shared_ptr<process::Task>& task) {
      auto entry = std::make_unique<TaskEntry>();
      entry->elementPath = elements_[i].path;
      entry->role = role;
      entry->task = task;
      auto cycle = impl_->cycles[i].find(role.name);
      entry->cycle = cycle != impl_->cycles[i].end() ? cycle->second : std::chrono::seconds(1);
      tasks_.push_back(std::move(entry));
      return false;
    });
  }
}

void Model::runOperational(TaskEntry& entry) {
  TimeStamp time = now();
  if (runObserver_) runObserver_(entry, time, false);
  entry.task->operational(process::Task::ExecutionContext(time));
  entry.runs.fetch_add(1);
  if (runObserver_) runObserver_(entry, time, true);
}

void Model::runTaskOnce(const std::string& elementPath, std::string_view roleName) {
  for (auto& entry : tasks_) {
    if (entry->elementPath == elementPath && entry->role.name == roleName) {
      runOperational(*entry);
      return;
    }
  }
  throw std::invalid_argument("no task \"" + std::string(roleName) + "\" of element \"" + elementPath + "\"");
}

void Model::start(unsigned threads) {
  for (auto& entry : tasks_) {
    auto& task = *entry->task;
    unsigned stages = task.stages();
    if (stages & process::Task::kStartup) {
      if (task.prepareStartup() == process::Task::kProceed) task.startup();
      task.finishStartup();
    }
    if (stages & process::Task::kPreOperational) {
      if (task.preparePreOperational() == process::Task::kProceed) task.preOperational();
      task.finishPreOperational();
    }
  }
  std::unique_lock lock(impl_->mutex);
  impl_->stopping = false;
  impl_->started = true;
  auto first = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < tasks_.size(); ++i) {
    if (tasks_[i]->task->stages() & process::Task::kOperational) impl_->queue.push({first, i});
  }
  lock.unlock();

  for (unsigned t = 0; t < std::max(1u, threads); ++t) {
    impl_->workers.emplace_back([this] {
      // Task worker: runs due operational stages; one task never runs on two workers at once,
      // since it leaves the queue while it runs.
      std::unique_lock guard(impl_->mutex);
      while (!impl_->stopping) {
        if (impl_->queue.empty()) {
          impl_->wake.wait(guard);
          continue;
        }
        auto [due, index] = impl_->queue.top();
        if (std::chrono::steady_clock::now() < due) {
          impl_->wake.wait_until(guard, due);
          continue;
        }
        impl_->queue.pop();
        guard.unlock();
        auto& entry = *tasks_[index];
        runOperational(entry);
        guard.lock();
        auto next = std::max(due + entry.cycle, std::chrono::steady_clock::now());
        impl_->queue.push({next, index});
        impl_->wake.notify_one();
      }
    });
  }
  bool anySimulated = std::any_of(dataPoints_.begin(), dataPoints_.end(), [](auto& p) { return p->simulation.has_value(); });
  if (anySimulated) {
    impl_->simulator = std::thread([this] {
      // Simulation: changes simulated data points at their periods.
      std::map<const DataPoint*, std::chrono::steady_clock::time_point> next;
      std::mt19937_64 random(std::random_device{}());
      std::normal_distribution<double> step(0.0, 1.0);
      auto origin = std::chrono::steady_clock::now();
      std::unique_lock guard(impl_->mutex);
      while (!impl_->stopping) {
        auto nowSteady = std::chrono::steady_clock::now();
        guard.unlock();
        for (auto& point : dataPoints_) {
          if (!point->simulation) continue;
          auto& due = next[point.get()];
          if (nowSteady < due) continue;
          const auto& s = *point->simulation;
          due = nowSteady + s.period;
          data::Value v;
          switch (s.kind) {
            case Simulation::Kind::kCounter: {
              auto current = point->value();
              auto c = data::convert(current, data::DataType::kDouble);
              v = (c ? std::get<double>(*c) : 0.0) + 1.0;
              break;
            }
            case Simulation::Kind::kSine: {
              double seconds = std::chrono::duration<double>(nowSteady - origin).count();
              double periods = seconds / std::chrono::duration<double>(s.period).count();
              v = s.offset + s.amplitude * std::sin(2 * std::numbers::pi * periods / 20.0);
              break;
            }
            case Simulation::Kind::kRandomWalk: {
              auto c = data::convert(point->value(), data::DataType::kDouble);
              v = (c ? std::get<double>(*c) : s.offset) + s.amplitude * step(random);
              break;
            }
          }
          if (point->type() == data::DataType::kInteger || point->type() == data::DataType::kUnsigned) {
            v = std::round(std::get<double>(v));
          }
          point->setValue(v);
        }
        guard.lock();
        impl_->wake.wait_for(guard, std::chrono::milliseconds(10));
      }
    });
  }
}

void Model::stop() {
  {
    std::lock_guard lock(impl_->mutex);
    if (!impl_->started) return;
    impl_->stopping = true;
    impl_->started = false;
  }
  impl_->wake.notify_all();
  for (auto& w : impl_->workers) w.join();
  impl_->workers.clear();
  if (impl_->simulator.joinable()) impl_->simulator.join();
  impl_->queue = {};
  for (auto& entry : tasks_) {
    auto& task = *entry->task;
    unsigned stages = task.stages();
    if (stages & process::Task::kPostOperational) {
      if (task.preparePostOperational() == process::Task::kProceed) task.postOperational();
      task.finishPostOperational();
    }
    if (stages & process::Task::kShutdown) {
      if (task.prepareShutdown() == process::Task::kProceed) task.shutdown();
      task.finishShutdown();
    }
  }
}

void Model::shutdown() {
  // Tasks and events share ownership of their elements: drop them first.
  tasks_.clear();
  for (auto it = elements_.rbegin(); it != elements_.rend(); ++it) it->element->preCleanup();
  for (auto it = elements_.rbegin(); it != elements_.rend(); ++it) it->element->cleanup();
  while (!elements_.empty()) elements_.pop_back();  // children before their parents
  byPath_.clear();
  dataPoints_.clear();
  skills_.clear();
  impl_->context.reset();
  for (auto it = libraries_.rbegin(); it != libraries_.rend(); ++it) dlclose(*it);
  libraries_.clear();
}

std::shared_ptr<model::Element> Model::findElement(std::string_view path) const {
  auto it = byPath_.find(path);
  return it == byPath_.end() ? nullptr : it->second;
}

std::shared_ptr<DataPoint> Model::dataPoint(std::string_view path) const {
  return std::dynamic_pointer_cast<DataPoint>(findElement(path));
}

std::shared_ptr<skill::Element> Model::skillElement(std::string_view path) const {
  for (const auto& e : elements_) {
    if (e.path == path) return e.element;
  }
  return nullptr;
}

}  // namespace corvane::runtime
