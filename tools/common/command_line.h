// What both tools share around CLI11: strict number validators, and parse
// errors turned into one line that names the argument, with exit status 2.
#pragma once

#include <stdint.h>

#include <CLI/CLI.hpp>
#include <string>

namespace qvtools {

constexpr int kUsageExit = 2;

// A value that ParseNumber (or ParseDecimal) accepts in low..high.
CLI::Validator NumberIn(int64_t low, int64_t high);
CLI::Validator DecimalIn(int64_t low, int64_t high);

// Parses argv; on --help or --version prints them and returns 0, on a
// usage error prints "TOOL: message" and returns kUsageExit; -1 to go on.
int ParseCommandLine(CLI::App& app, int argc, char** argv);

// "TOOL: message" on standard error; returns kUsageExit.
int UsageError(const std::string& tool, const std::string& message);

// The value of an option validated by NumberIn/DecimalIn.
int64_t NumberValue(const std::string& text);

}  // namespace qvtools
