// The line owner's one result type, as each protocol side says it: the
// exception a Modbus client gets (the codes clients have always seen) and
// the code and meaning of an MQTT write result, row by row.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "tools/qvgateway/line/line_result.h"
#include "tools/qvgateway/modbus/modbus_dispatch.h"
#include "tools/qvgateway/mqtt/mqtt_write_result.h"

namespace qvgateway {
namespace {

LineResult Partial(LineReason reason, int code) {
  LineResult result = LineFailed(reason, code);
  result.partial = true;
  return result;
}

LineResult DemotedFor(int code, int64_t retryInMs) {
  LineResult result = LineFailed(LineReason::Demoted, code);
  result.retryInMs = retryInMs;
  return result;
}

struct Row {
  const char* name;
  LineResult result;
  uint8_t exception;
  const char* mqttResult;  // the write result's JSON, id "w"
};

const Row kRows[] = {
    {"done", LineDone(), kOk, R"({"id":"w","ok":true})"},
    {"silent with a time-out", LineFailed(LineReason::Silent, 5), kTargetNoResponse,
     R"({"id":"w","ok":false,"code":5,"meaning":"receive time-out"})"},
    {"silent without a code", LineFailed(LineReason::Silent), kTargetNoResponse,
     R"({"id":"w","ok":false,"code":null,"meaning":"the station did not answer"})"},
    {"refused, garbled reply", LineFailed(LineReason::Refused, 6), kDeviceFailure,
     R"({"id":"w","ok":false,"code":6,"meaning":"erroneous data received"})"},
    {"refused before the line", LineFailed(LineReason::Refused), kDeviceFailure,
     R"({"id":"w","ok":false,"code":null,"meaning":"the controller refused the request or answered garbage"})"},
    {"demoted, next try known", DemotedFor(-1, 2500), kTargetNoResponse,
     R"({"id":"w","ok":false,"code":null,"meaning":"station demoted: time-outs in a row; next try in 2.5 s"})"},
    {"demoted by a time-out", DemotedFor(5, -1), kTargetNoResponse,
     R"({"id":"w","ok":false,"code":5,"meaning":"station demoted: receive time-out"})"},
    {"port lost", LineFailed(LineReason::PortLost), kTargetNoResponse,
     R"({"id":"w","ok":false,"code":null,"meaning":"port lost"})"},
    {"queue full", LineFailed(LineReason::QueueFull), kBusy,
     R"({"id":"w","ok":false,"code":null,"meaning":"the line's queue is full"})"},
    {"deadline", LineFailed(LineReason::Deadline), kBusy,
     R"({"id":"w","ok":false,"code":null,"meaning":"waited past request_deadline_ms"})"},
    {"stopping", LineFailed(LineReason::Stopping), kTargetNoResponse,
     R"({"id":"w","ok":false,"code":null,"meaning":"the gateway is stopping"})"},
    {"client gone", LineFailed(LineReason::ClientGone), kNoReply,
     R"({"id":"w","ok":false,"code":null,"meaning":"the client went away"})"},
    {"partial write, then silent", Partial(LineReason::Silent, 5), kDeviceFailure,
     R"({"id":"w","ok":false,"code":5,"meaning":"only part of the write was done: receive time-out"})"},
    {"partial write, then port lost", Partial(LineReason::PortLost, -1), kDeviceFailure,
     R"({"id":"w","ok":false,"code":null,"meaning":"only part of the write was done: port lost"})"},
};

TEST(GatewayLineResult, EachSideSaysTheResultItsWay) {
  for (const Row& row : kRows) {
    EXPECT_EQ(ToModbusException(row.result), row.exception) << row.name;
    EXPECT_EQ(nlohmann::json::parse(WriteResultPayload("\"w\"", row.result)), nlohmann::json::parse(row.mqttResult))
        << row.name;
  }
}

}  // namespace
}  // namespace qvgateway
