#include "skill/attributes.hpp"

namespace corvane::plugins::mqttClient::attributes {

using corvane::data::DataType;
using corvane::model::Attribute;
using corvane::utils::core::Uuid;

const Attribute kBrokerAddress{Uuid::literal("df58e609-0f92-4418-8d93-6d7621e9562c"), "brokerAddress", DataType::kString};
const Attribute kPortNumber{Uuid::literal("22398839-bdcf-4891-8f9f-d61600833dae"), "portNumber", DataType::kInteger};
const Attribute kClientId{Uuid::literal("1280a039-8494-426e-9ba6-9bb056f32ed1"), "clientID", DataType::kString};
const Attribute kConnectionTime{Uuid::literal("51e6a676-d458-41a7-aebe-f268cf08d91b"), "connectionTime", DataType::kTimeStamp};
const Attribute kBirthMessageTime{Uuid::literal("48a766e5-033d-4253-a5f9-b62ff600c5b6"), "birthMessageTime", DataType::kTimeStamp};
const Attribute kError{Attribute::kError.uuid, Attribute::kError.name, DataType::kErrorCode};

const Attribute kTopic{Uuid::literal("afdf1d9f-8d6f-419e-8d80-3b4be3fb3044"), "topic", DataType::kString};
const Attribute kQoS{Uuid::literal("7005c427-0cb4-485b-802e-12fa6d3372e9"), "QoS", DataType::kInteger};
const Attribute kRetained{Uuid::literal("9197f157-91a2-405d-baff-76c18b8709ff"), "retained", DataType::kBoolean};
const Attribute kTopicState{Uuid::literal("5683d471-435a-4ea3-869d-96728cb46f22"), "state", DataType::kBoolean};
const Attribute kPublishTime{Uuid::literal("fb768a49-6852-4795-9d55-142461410599"), "publishTime", DataType::kTimeStamp};

const Attribute kSubscribeTime{Uuid::literal("e4cde818-5cf6-49b1-99e7-880ca1bdc4ce"), "subscribeTime", DataType::kTimeStamp};
const Attribute kSubscribeState{Uuid::literal("97a02989-a2f9-435d-bcae-490785dbdabc"), "state", DataType::kBoolean};
const Attribute kSubscribeError{Uuid::literal("3af346fe-d0ad-423f-a0db-f885cbca0cb7"), "subscribeError", DataType::kErrorCode};
const Attribute kReceiveTime{Uuid::literal("6ddeddf6-07f8-4f8a-8f4f-8c80da9fd11f"), "receiveTime", DataType::kTimeStamp};
const Attribute kReceiveErrorSummary{Uuid::literal("b5b7acc1-2e72-4ca4-bbd8-868fcae89ba6"), "receiveErrorSummary", DataType::kString};

const corvane::process::Event::Role kBirthEvent{Uuid::literal("5e1bd32a-52b0-4973-bb43-ebabd0482f4b"), "birth"};
const corvane::process::Event::Role kPublishedEvent{Uuid::literal("1b05a9f8-e0f3-405e-9a83-7ff743fb3d55"), "published"};
const corvane::process::Event::Role kReceivedEvent{Uuid::literal("dfe71dfc-1004-4846-8a1d-eef678020537"), "received"};
const corvane::process::Task::Role kPublishTask{Uuid::literal("4423e6c8-fea9-4219-b4cd-9178770f597a"), "publish"};

}  // namespace corvane::plugins::mqttClient::attributes
