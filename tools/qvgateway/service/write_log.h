// One log line per write that reached the line, once it finished: who
// asked, which station and registers, the values, and how it ended. The
// only record of what was sent to a plant from the network.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "tools/qvgateway/line/line_result.h"
#include "tools/qvgateway/line/register_rules.h"

namespace qvgateway {

// "write from modbus 127.0.0.1:40312 unit 1: station 1 D100..D101 = 5, 6: done"
std::string RegisterWriteLine(const std::string& source, int station, int first, const std::vector<uint16_t>& values,
                              const std::string& result);
// "...: station 1 M10..M12 = 1, 0, 1: done"
std::string CoilWriteLine(const std::string& source, int station, int firstCoil, const std::vector<bool>& bits,
                          const std::string& result);
// "...: station 1 tag tank1/level = 42.5: done"
std::string TagWriteLine(const std::string& source, int station, const std::string& tag, const std::string& value,
                         const std::string& result);
// "done", or why not: the driver's meaning when the write reached the
// controller, else what kept it from the line.
std::string WriteResult(const LineResult& result);

}  // namespace qvgateway
