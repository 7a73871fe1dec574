// The job as the user typed it, checked by the driver's own tag parser
// before any line is touched: the stations, the writes in the order typed,
// the reads in the order typed.
#pragma once

#include <string>
#include <vector>

#include "tools/host/host_blocks.h"
#include "tools/qvpoll/options.h"
#include "tools/host/value_types.h"

namespace qvpoll {

// One value the user named at one station: a row in every scan. A 32-bit
// type takes two registers, so two tags.
struct Value {
  std::string text;  // the tag, trimmed and upper case: D100
  int station = 0;
  bool write = false;
  bool byteWide = false;    // an M group
  uint32_t writeValue = 0;  // the bits to write, all 32 for a 32-bit type
  std::string typed;        // the value as typed, for messages
  std::string note;         // how a value f32 cannot hold exactly was rounded
  size_t first = 0;         // its first tag in Plan::writes or Plan::reads
  int registers = 1;
};

struct Plan {
  std::vector<int> stations;
  qvhost::ValueType type = qvhost::ValueType::U16;
  qvhost::WordOrder wordOrder = qvhost::WordOrder::HighFirst;
  // One entry per register and station, in the order typed (station by
  // station); each write goes out once, reads are grouped into blocks.
  std::vector<qvhost::Tag> writes;
  std::vector<qvhost::Tag> reads;
  // What the rows show, in the same order.
  std::vector<Value> writeValues;
  std::vector<Value> readValues;
};

// False with a message that names the argument and says what is wrong.
bool BuildPlan(IDeviceDriver* driver, const Options& options, Plan* plan, std::string* error);

// Hex digits a value shows: 2 for an M group, 4 for a D register, 8 for
// two.
int ValueDigits(const Value& value);

// A value's bits from its tags' items after a good read.
uint32_t ReadBits(const Plan& plan, const Value& value);

}  // namespace qvpoll
