// Windows: the driver reads its settings from the registry, a value under
// HKEY_CURRENT_USER overriding the machine's. For the moment the driver
// objects are made, the user's Trace value names this run's file (and
// CheckStation says what the run asked for); the values are put back at
// once. A data server of the same user that makes an object in those
// milliseconds traces into that file too. Tools of the same session take
// turns: one that read another's values as the user's would put them back
// for good.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <vector>

#include "tools/host/object_settings.h"

namespace qvhost {
namespace {

constexpr char kKey[] = "SOFTWARE\\Quorvalend";
constexpr char kTurnName[] = "Local\\QuorvalendObjectSettings";
constexpr DWORD kTurnWaitMs = 10000;

char privateFile[MAX_PATH + 4];
char rotatedFile[MAX_PATH + 8];

// A value as text (a number may be a DWORD); false when it is not there.
bool ReadValue(HKEY root, const char* name, std::string* text, DWORD* typeOut = nullptr) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, kKey, 0, KEY_QUERY_VALUE | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS) return false;
  DWORD type = 0, size = 0;
  bool found = RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS;
  if (found) {
    std::vector<char> data(size + 1, '\0');
    RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    if (typeOut != nullptr) {
      // Kept as the bytes they were, to be put back.
      *typeOut = type;
      text->assign(data.data(), size);
    } else if (type == REG_DWORD && size == sizeof(DWORD)) {
      DWORD number = 0;
      memcpy(&number, data.data(), sizeof number);
      *text = std::to_string(number);
    } else {
      text->assign(data.data());
    }
  }
  RegCloseKey(key);
  return found;
}

}  // namespace

std::string ObjectSettings::SettingName(const std::string& driverName) { return driverName; }

bool ObjectSettings::Begin(StationCheck check, std::string* error, const ObjectValues& values) {
  HANDLE turn = CreateMutexA(nullptr, FALSE, kTurnName);
  if (turn == nullptr) {
    *error = "cannot take turns with other tools for the driver settings (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  // An abandoned turn is ours: its tool ended, and so did what it held.
  const DWORD waited = WaitForSingleObject(turn, kTurnWaitMs);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    CloseHandle(turn);
    *error = "another tool has been making its driver objects for 10 s; try again";
    return false;
  }
  turn_ = turn;
  if (!BeginInTurn(check, values, error)) {
    EndTurn();
    return false;
  }
  return true;
}

void ObjectSettings::EndTurn() {
  if (turn_ == nullptr) return;
  ReleaseMutex(static_cast<HANDLE>(turn_));
  CloseHandle(static_cast<HANDLE>(turn_));
  turn_ = nullptr;
}

bool ObjectSettings::BeginInTurn(StationCheck check, const ObjectValues& values, std::string* error) {
  char folder[MAX_PATH] = {}, path[MAX_PATH] = {};
  if (GetTempPathA(sizeof folder, folder) == 0 || GetTempFileNameA(folder, "qvt", 0, path) == 0) {
    *error = "cannot make a file for the driver's trace in the temporary folder (error " +
             std::to_string(GetLastError()) + ")";
    return false;
  }
  file_ = path;
  snprintf(privateFile, sizeof privateFile, "%s", path);
  snprintf(rotatedFile, sizeof rotatedFile, "%s.1", path);

  user_.name = "Trace";
  if (!ReadValue(HKEY_CURRENT_USER, "Trace", &user_.target)) ReadValue(HKEY_LOCAL_MACHINE, "Trace", &user_.target);
  std::string maxKB;
  if (ReadValue(HKEY_CURRENT_USER, "TraceMaxKB", &maxKB) || ReadValue(HKEY_LOCAL_MACHINE, "TraceMaxKB", &maxKB)) {
    char* end = nullptr;
    const unsigned long long kb = strtoull(maxKB.c_str(), &end, 10);
    if (end != maxKB.c_str() && *end == '\0' && kb >= 1 && kb <= 4ull * 1024 * 1024) user_.maxBytes = kb * 1024;
  }

  HKEY key = nullptr;
  DWORD disposition = 0;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_32KEY,
                      nullptr, &key, &disposition) != ERROR_SUCCESS) {
    DeleteFileA(file_.c_str());
    *error = "cannot set HKEY_CURRENT_USER\\SOFTWARE\\Quorvalend for this run's driver objects";
    return false;
  }
  RegCloseKey(key);
  madeKey_ = disposition == REG_CREATED_NEW_KEY;
  std::vector<std::string> names{"Trace", "CheckStation"};
  for (const auto& value : values) names.push_back(value.first);
  saved_.clear();
  for (const std::string& name : names) {
    Saved saved;
    saved.name = name;
    DWORD type = 0;
    saved.had = ReadValue(HKEY_CURRENT_USER, name.c_str(), &saved.value, &type);
    saved.type = type;
    saved_.push_back(saved);
  }
  check_ = check;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_SET_VALUE | KEY_WOW64_32KEY, &key) == ERROR_SUCCESS) {
    RegSetValueExA(key, "Trace", 0, REG_SZ, reinterpret_cast<const BYTE*>(file_.c_str()),
                   static_cast<DWORD>(file_.size() + 1));
    if (check != StationCheck::Machine) {
      const char* on = check == StationCheck::On ? "1" : "0";
      RegSetValueExA(key, "CheckStation", 0, REG_SZ, reinterpret_cast<const BYTE*>(on), 2);
    }
    for (const auto& value : values) {
      RegSetValueExA(key, value.first.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.second.c_str()),
                     static_cast<DWORD>(value.second.size() + 1));
    }
    RegCloseKey(key);
  }
  restored_ = false;
  return true;
}

void ObjectSettings::ObjectsMade() {
  PutBack();
  EndTurn();
}

void ObjectSettings::PutBack() {
  if (restored_) return;
  restored_ = true;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_SET_VALUE | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS) return;
  for (const Saved& saved : saved_) {
    if (saved.name == "CheckStation" && check_ == StationCheck::Machine) continue;
    if (saved.had) {
      RegSetValueExA(key, saved.name.c_str(), 0, saved.type, reinterpret_cast<const BYTE*>(saved.value.data()),
                     static_cast<DWORD>(saved.value.size()));
    } else {
      RegDeleteValueA(key, saved.name.c_str());
    }
  }
  RegCloseKey(key);
  if (madeKey_) RegDeleteKeyA(HKEY_CURRENT_USER, kKey);
}

ObjectSettings::~ObjectSettings() {
  ObjectsMade();
  RemovePrivateTraceNow();
}

void RemovePrivateTraceNow() {
  if (privateFile[0] == '\0') return;
  DeleteFileA(privateFile);
  DeleteFileA(rotatedFile);
}

}  // namespace qvhost
