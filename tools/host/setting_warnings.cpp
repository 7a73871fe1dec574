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
  return messages;
}

std::string TraceNotOpened(const UserTrace& user, const std::string& problem) {
  return user.name + "=" + user.target + ": the trace file cannot be opened (" + problem +
         "); no trace is written there";
}

}  // namespace qvhost
