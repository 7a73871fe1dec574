#include <dlfcn.h>
#include <elf.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "tools/host/driver_module.h"

namespace qvhost {
namespace {

const IID kIidIClassFactory = QV_IID_ICLASSFACTORY;

std::string Hex(HRESULT status) {
  char text[16];
  snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(status));
  return text;
}

// The module's version lives in a section of its own, which is read from
// the file: the section is not loaded with the code.
std::string VersionSection(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  Elf32_Ehdr header{};
  if (bytes.size() < sizeof header) return "";
  memcpy(&header, bytes.data(), sizeof header);
  if (memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS32) return "";
  auto section = [&](size_t index, Elf32_Shdr* out) {
    const size_t at = header.e_shoff + index * sizeof(Elf32_Shdr);
    if (index >= header.e_shnum || at + sizeof *out > bytes.size()) return false;
    memcpy(out, bytes.data() + at, sizeof *out);
    return out->sh_offset + out->sh_size <= bytes.size();
  };
  Elf32_Shdr names{};
  if (!section(header.e_shstrndx, &names)) return "";
  for (size_t i = 0; i < header.e_shnum; ++i) {
    Elf32_Shdr s{};
    if (!section(i, &s) || s.sh_name >= names.sh_size) continue;
    const char* name = bytes.data() + names.sh_offset + s.sh_name;
    if (strncmp(name, ".quorvalend.version", names.sh_size - s.sh_name) == 0) {
      return std::string(bytes.data() + s.sh_offset, strnlen(bytes.data() + s.sh_offset, s.sh_size));
    }
  }
  return "";
}

}  // namespace

std::string ProgramDirectory() {
  char path[PATH_MAX] = {};
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string p = n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string("./");
  return p.substr(0, p.find_last_of('/') + 1);
}

DriverObject::~DriverObject() {
  io->lpVtbl->Release(io);
  driver->lpVtbl->Release(driver);
}

// A tarball keeps the module beside the tools; a package puts the tools in
// /usr/bin and the module in its own folder of the architecture's library
// directory, found from the program's folder so that a tree installed under
// another prefix finds its own module. Beside the program wins, so that a
// copy unpacked next to a packaged install loads the module it came with.
std::string DefaultModulePath() {
  const std::string beside = ProgramDirectory() + "Quorvalend.so";
#ifdef QUORVALEND_PACKAGED_MODULE_DIR
  const std::string packaged = ProgramDirectory() + QUORVALEND_PACKAGED_MODULE_DIR "/Quorvalend.so";
  if (access(beside.c_str(), F_OK) != 0 && access(packaged.c_str(), F_OK) == 0) return packaged;
#endif
  return beside;
}

bool DriverModule::Load(const std::string& modulePath, std::string* error) {
  const std::string path = modulePath.empty() ? DefaultModulePath() : modulePath;
  module_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module_ == nullptr) {
    *error = "cannot load " + path + ": " + dlerror();
    return false;
  }
  char* full = realpath(path.c_str(), nullptr);
  path_ = full != nullptr ? full : path;
  free(full);
  if (dlsym(module_, "DllGetClassObject") == nullptr) {
    *error = path + " has no DllGetClassObject";
    return false;
  }
  return true;
}

std::unique_ptr<DriverObject> DriverModule::Create(std::string* error) {
  auto entry = reinterpret_cast<QvDllGetClassObjectFn>(dlsym(module_, "DllGetClassObject"));
  void* factory = nullptr;
  const HRESULT found = entry(CLSID_QuorvalendPro, kIidIClassFactory, &factory);
  if (FAILED(found)) {
    *error = "DllGetClassObject failed with " + Hex(found);
    return nullptr;
  }
  auto* vtbl = *static_cast<const QvClassFactoryVtbl**>(factory);
  void* object = nullptr;
  const HRESULT created = vtbl->CreateInstance(factory, nullptr, IID_IDeviceDriver, &object);
  vtbl->Release(factory);
  if (FAILED(created)) {
    *error = "CreateInstance failed with " + Hex(created);
    return nullptr;
  }
  auto* driver = static_cast<IDeviceDriver*>(object);
  IDeviceIo* io = nullptr;
  if (FAILED(driver->lpVtbl->QueryInterface(driver, IID_IDeviceIo, reinterpret_cast<void**>(&io)))) {
    driver->lpVtbl->Release(driver);
    *error = "the driver object has no IDeviceIo";
    return nullptr;
  }
  return std::make_unique<DriverObject>(driver, io);
}

std::string DriverModule::Describe() {
  const std::string version = VersionSection(path_);
  return "driver " + path_ + " (" + (version.empty() ? "no version section" : version) + ")";
}

DriverModule::~DriverModule() {
  if (module_ != nullptr) dlclose(module_);
}

}  // namespace qvhost
