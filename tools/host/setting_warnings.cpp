#include "tools/host/setting_warnings.h"

#include "tools/host/trace_tap.h"

namespace qvhost {

std::vector<std::string> SettingWarnings::Check(const std::vector<std::string>& lines) {
  std::vector<std::string> messages;
  for (const std::string& setting : IgnoredSettings(lines)) {
    if (!said_.insert(setting).second) continue;
    const size_t equals = setting.find('=');
    messages.push_back("the driver did not take " + ObjectSettings::SettingName(setting.substr(0, equals)) + "=" +
                       setting.substr(equals + 1) + ": not a value it understands, so its default holds");
  }
  // A port that refused RS-485 switching says why only in the trace; the
  // open's own failure carries nothing but the configure code.
  constexpr char kRefused[] = "the port refused RS485=";
  for (const std::string& line : lines) {
    const size_t at = line.find(kRefused);
    if (at == std::string::npos) continue;
    std::string why = line.substr(at);
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r')) why.pop_back();
    if (said_.insert(why).second) messages.push_back(why);
  }
  return messages;
}

std::string TraceNotOpened(const UserTrace& user, const std::string& problem) {
  return user.name + "=" + user.target + ": the trace file cannot be opened (" + problem +
         "); no trace is written there";
}

}  // namespace qvhost
