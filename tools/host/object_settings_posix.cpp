// Linux: the driver reads its settings from the environment.
#include <dirent.h>
#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "tools/host/object_settings.h"

namespace qvhost {
namespace {

constexpr char kTrace[] = "QUORVALEND_TRACE";
constexpr char kCheckStation[] = "QUORVALEND_CHECK_STATION";
constexpr char kTraceMaxKB[] = "QUORVALEND_TRACE_MAX_KB";

// Fixed buffers, so that a signal handler can remove the files.
char privateFolder[512];
char privateFile[600];
char rotatedFile[600];

void Put(const char* name, bool had, const std::string& value) {
  if (had) {
    setenv(name, value.c_str(), 1);
  } else {
    unsetenv(name);
  }
}

constexpr char kPrefix[] = "qvtrace-";

// Folders left by runs that were killed outright (SIGKILL), found by the
// process number in their name: this user's, whose process is gone.
void RemoveOrphans(const std::string& parent) {
  DIR* dir = opendir(parent.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.compare(0, sizeof kPrefix - 1, kPrefix) != 0) continue;
    const long pid = strtol(name.c_str() + sizeof kPrefix - 1, nullptr, 10);
    const std::string folder = parent + "/" + name;
    struct stat status {};
    if (pid <= 0 || lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != getuid() ||
        kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) {
      continue;
    }
    unlink((folder + "/trace.txt").c_str());
    unlink((folder + "/trace.txt.1").c_str());
    rmdir(folder.c_str());
  }
  closedir(dir);
}

}  // namespace

std::string ObjectSettings::SettingName(const std::string& driverName) {
  if (driverName == "Trace") return kTrace;
  if (driverName == "TraceMaxKB") return kTraceMaxKB;
  if (driverName == "ReplyWait") return "QUORVALEND_REPLY_WAIT";
  if (driverName == "CheckStation") return kCheckStation;
  if (driverName == "RS485") return "QUORVALEND_RS485";
  if (driverName == "RS485DelayBeforeUs") return "QUORVALEND_RS485_DELAY_BEFORE_US";
  if (driverName == "RS485DelayAfterUs") return "QUORVALEND_RS485_DELAY_AFTER_US";
  return driverName;
}

bool ObjectSettings::Begin(StationCheck check, std::string* error, const ObjectValues& values) {
  const char* tmp = getenv("TMPDIR");
  const std::string parent = tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp";
  RemoveOrphans(parent);
  std::string folder = parent + "/" + kPrefix + std::to_string(getpid()) + "-XXXXXX";
  if (folder.size() >= sizeof privateFolder || mkdtemp(&folder[0]) == nullptr) {
    *error = "cannot make a folder for the driver's trace in " + folder.substr(0, folder.rfind('/')) + ": " +
             strerror(errno);
    return false;
  }
  folder_ = folder;
  file_ = folder + "/trace.txt";
  snprintf(privateFolder, sizeof privateFolder, "%s", folder_.c_str());
  snprintf(privateFile, sizeof privateFile, "%s", file_.c_str());
  snprintf(rotatedFile, sizeof rotatedFile, "%s.1", file_.c_str());

  user_.name = kTrace;
  const char* trace = getenv(kTrace);
  if (trace != nullptr) user_.target = trace;
  const char* maxKB = getenv(kTraceMaxKB);
  char* end = nullptr;
  const unsigned long long kb = maxKB != nullptr ? strtoull(maxKB, &end, 10) : 0;
  if (maxKB != nullptr && end != maxKB && *end == '\0' && kb >= 1 && kb <= 4ull * 1024 * 1024) {
    user_.maxBytes = kb * 1024;
  }

  std::vector<std::string> names{kTrace, kCheckStation};
  for (const auto& value : values) names.push_back(SettingName(value.first));
  saved_.clear();
  for (const std::string& name : names) {
    const char* before = getenv(name.c_str());
    saved_.push_back(Saved{name, before != nullptr, 0, before != nullptr ? before : ""});
  }
  setenv(kTrace, file_.c_str(), 1);
  check_ = check;
  if (check != StationCheck::Machine) setenv(kCheckStation, check == StationCheck::On ? "1" : "0", 1);
  for (const auto& value : values) setenv(SettingName(value.first).c_str(), value.second.c_str(), 1);
  restored_ = false;
  return true;
}

void ObjectSettings::ObjectsMade() {
  if (restored_) return;
  restored_ = true;
  // A simulator started later inherits the environment as it was.
  for (const Saved& saved : saved_) Put(saved.name.c_str(), saved.had, saved.value);
}

ObjectSettings::~ObjectSettings() {
  ObjectsMade();
  if (folder_.empty()) return;
  RemovePrivateTraceNow();
}

void RemovePrivateTraceNow() {
  if (privateFolder[0] == '\0') return;
  unlink(privateFile);
  unlink(rotatedFile);
  rmdir(privateFolder);
}

}  // namespace qvhost
