// The driver settings a host gives its own objects. The driver reads its
// settings when an object is made, so these are in place just for that
// moment and the machine's are put back at once. Every object a tool makes
// traces into a file of the tool's own, from which it learns why each
// transaction failed (the driver's error code alone cannot say "refused"
// or "line lost"); the user's own trace setting is served from that file
// too (see TraceTap), so it works as it always did.
#pragma once

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

namespace qvhost {

// What the machine's settings say about the trace, for the user's sake.
struct UserTrace {
  std::string target;  // empty: off; "debug"; or a file path
  std::string name;    // where it is set: QUORVALEND_TRACE, or the registry value
  uint64_t maxBytes = 10240ull * 1024;
};

enum class StationCheck { Machine, On, Off };

// Further driver settings a run gives its objects, by the driver's names:
// {"RS485", "rts-on-send"}; put in place and back like the station check.
using ObjectValues = std::vector<std::pair<std::string, std::string>>;

class ObjectSettings {
 public:
  ObjectSettings() = default;
  ~ObjectSettings();
  ObjectSettings(const ObjectSettings&) = delete;
  ObjectSettings& operator=(const ObjectSettings&) = delete;

  // Before the driver objects are made. False with a message.
  bool Begin(StationCheck check, std::string* error, const ObjectValues& values = {});
  // After they are made: the machine's settings as they were before.
  void ObjectsMade();
  // The objects' trace file; empty before Begin.
  const std::string& PrivateTrace() const { return file_; }
  const UserTrace& User() const { return user_; }
  // How a setting is named where the user sets it: "QUORVALEND_CHECK_STATION"
  // (Linux) or "CheckStation" under HKEY_CURRENT_USER/HKEY_LOCAL_MACHINE.
  static std::string SettingName(const std::string& driverName);

 private:
  bool restored_ = true;
  std::string folder_;
  std::string file_;
  UserTrace user_;
  StationCheck check_ = StationCheck::Machine;
  // The values this object replaced, to be put back.
  struct Saved {
    std::string name;
    bool had = false;
    unsigned long type = 0;
    std::string value;
  };
  std::vector<Saved> saved_;
  bool madeKey_ = false;
  // Windows: held from Begin to ObjectsMade, so that two tools starting at
  // once do not take each other's values for the user's and put them back.
  void* turn_ = nullptr;
  bool BeginInTurn(StationCheck check, const ObjectValues& values, std::string* error);
  void PutBack();
  void EndTurn();
};

// For a signal handler: removes the private trace files at once.
void RemovePrivateTraceNow();

}  // namespace qvhost
