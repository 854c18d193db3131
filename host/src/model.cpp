#include "corvane/model.hpp"

namespace corvane::model {

using utils::core::Uuid;

const Attribute Attribute::kValue{Uuid::literal("2b1f6c1e-8a5d-4f0e-9c61-6f2d3a7b0e01"), "value", data::DataType::kDouble};
const Attribute Attribute::kQuality{Uuid::literal("2b1f6c1e-8a5d-4f0e-9c61-6f2d3a7b0e02"), "quality", data::DataType::kInteger};
const Attribute Attribute::kDeviceState{Uuid::literal("2b1f6c1e-8a5d-4f0e-9c61-6f2d3a7b0e03"), "deviceState", data::DataType::kBoolean};
const Attribute Attribute::kError{Uuid::literal("2b1f6c1e-8a5d-4f0e-9c61-6f2d3a7b0e04"), "error", data::DataType::kErrorCode};

data::ReadHandle Element::attributeReadHandle(std::string_view) const {
  return data::ReadHandle(data::ReadHandle::Error::kNoSuchAttribute);
}
data::WriteHandle Element::attributeWriteHandle(const Attribute&) {
  return data::WriteHandle(data::WriteHandle::Error::kNoSuchAttribute);
}
bool Element::forEachAttribute(const ForEachAttributeFunction&) const { return false; }

data::ReadHandle ElementAttribute::readHandle() const {
  auto target = element.lock();
  if (!target) return data::ReadHandle(data::ReadHandle::Error::kElementGone);
  return target->attributeReadHandle(attributeName);
}

}  // namespace corvane::model
