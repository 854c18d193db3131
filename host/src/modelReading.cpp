#include "modelReading.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

}  // namespace

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

}  // namespace corvane::runtime
