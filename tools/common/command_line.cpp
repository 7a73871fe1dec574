#include "tools/common/command_line.h"

#include <stdio.h>

#include "tools/common/number_text.h"

namespace qvtools {
namespace {

CLI::Validator Strict(int64_t low, int64_t high, bool hex) {
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        int64_t v = 0;
        const bool ok = hex ? ParseNumber(text, low, high, &v) : ParseDecimal(text, low, high, &v);
        return ok ? std::string() : NumberProblem(text, low, high, hex);
      },
      "");
}

// CLI11's wording for the few errors a person makes most, in ours.
std::string Explain(const CLI::ParseError& e, const std::string& tool) {
  std::string text = e.what();
  const std::string received = ": At Most 1 required but received ";
  size_t at = text.find(received);
  if (at != std::string::npos) {
    return text.substr(0, at) + " is given " + text.substr(at + received.size()) + " times: give it once";
  }
  const std::string unexpected = "The following argument was not expected: ";
  if (text.rfind(unexpected, 0) == 0) {
    const std::string argument = text.substr(unexpected.size());
    if (!argument.empty() && argument[0] == '-') {
      return "unknown option " + argument + " (" + tool + " --help lists the options)";
    }
    return "unexpected argument " + argument;
  }
  const std::string missing = " required TEXT missing";
  at = text.find(missing);
  if (at != std::string::npos) {
    const size_t colon = text.find(':');
    return text.substr(0, colon) + " needs a value";
  }
  return text;
}

}  // namespace

CLI::Validator NumberIn(int64_t low, int64_t high) { return Strict(low, high, true); }
CLI::Validator DecimalIn(int64_t low, int64_t high) { return Strict(low, high, false); }

int64_t NumberValue(const std::string& text) {
  int64_t v = 0;
  ParseNumber(text, INT64_MIN / 2, INT64_MAX / 2, &v);
  return v;
}

int UsageError(const std::string& tool, const std::string& message) {
  fprintf(stderr, "%s: %s\n", tool.c_str(), message.c_str());
  return kUsageExit;
}

int ParseCommandLine(CLI::App& app, int argc, char** argv) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    fputs(app.help().c_str(), stdout);
    return 0;
  } catch (const CLI::CallForVersion& e) {
    printf("%s\n", e.what());
    return 0;
  } catch (const CLI::ParseError& e) {
    return UsageError(app.get_name(), Explain(e, app.get_name()));
  }
  return -1;
}

}  // namespace qvtools
