// The real module file, loaded as a host loads it: only the public header
// and the three exports, nothing of the driver's own code linked in.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <string>

#include "quorvalend/quorvalend.h"
#include "tests/support/module_file.h"

namespace {

const IID kIidIClassFactory = QV_IID_ICLASSFACTORY;

class Module : public qvtest::ModuleFile {
 public:
  Module() : ModuleFile(QUORVALEND_MODULE) {}
};

// Activates a driver, uses it a little, releases everything; returns the
// parse result so a second load can be compared with the first.
void UseOnce(const Module& module) {
  auto getClassObject = module.Entry<QvDllGetClassObjectFn>("DllGetClassObject");
  auto canUnload = module.Entry<QvDllCanUnloadNowFn>("DllCanUnloadNow");
  ASSERT_NE(getClassObject, nullptr);
  ASSERT_NE(canUnload, nullptr);
  EXPECT_EQ(canUnload(), S_OK) << "a fresh module holds nothing";

  void* factory = nullptr;
  ASSERT_EQ(getClassObject(CLSID_QuorvalendPro, kIidIClassFactory, &factory), S_OK);
  auto* vtbl = *static_cast<const QvClassFactoryVtbl**>(factory);
  IDeviceDriver* driver = nullptr;
  ASSERT_EQ(vtbl->CreateInstance(factory, nullptr, IID_IDeviceDriver, reinterpret_cast<void**>(&driver)), S_OK);
  vtbl->Release(factory);

  const RegisterTypeEntry* table = nullptr;
  int32_t rows = 0;
  EXPECT_EQ(driver->lpVtbl->GetRegisterTable(driver, 0, &table, &rows), 1);
  EXPECT_EQ(rows, 2);
  EXPECT_STREQ(table[1].prefix, "M");
  TagDefinition def{};
  snprintf(def.addressText, sizeof def.addressText, "  D8199 ");
  def.dataType = QV_DATA_TYPE_WORD;
  TagAddress address{};
  EXPECT_EQ(driver->lpVtbl->ParseTag(driver, &def, &address), QV_PARSE_OK);
  EXPECT_EQ(address.registerAddress, 8199);
  EXPECT_EQ(address.registerRow, &table[0]);
  EXPECT_EQ(driver->lpVtbl->GetErrorText(driver), nullptr) << "a new object starts without an error";
  EXPECT_EQ(canUnload(), S_FALSE);
  EXPECT_EQ(driver->lpVtbl->Release(driver), 0u);
  EXPECT_EQ(canUnload(), S_OK);
}

TEST(ModuleFile, LoadsUnloadsAndLoadsAgainWithACleanState) {
  for (int round = 0; round < 2; ++round) {
    Module module;
    ASSERT_TRUE(module.Loaded()) << QUORVALEND_MODULE;
    UseOnce(module);
  }
}

TEST(ModuleFile, ExportsOnlyItsEntryPoints) {
  Module module;
  ASSERT_TRUE(module.Loaded());
  EXPECT_NE(module.Entry<void*>("DllRegisterServer"), nullptr);
  EXPECT_EQ(module.Entry<void*>("DllUnregisterServer"), nullptr);
  EXPECT_EQ(module.Entry<void*>("_ZN10quorvalend14CQuorvalendPro6CreateEv"), nullptr);
}

#if !defined(_WIN32)
std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(ModuleFile, RegistersIntoTheFileBackedClassesRoot) {
  const std::string store = ::testing::TempDir() + "qv-classes-" + std::to_string(getpid()) + ".reg";
  unlink(store.c_str());
  setenv("QUORVALEND_REGISTRY", store.c_str(), 1);
  Module module;
  ASSERT_TRUE(module.Loaded());
  auto registerServer = module.Entry<QvDllRegisterServerFn>("DllRegisterServer");
  ASSERT_EQ(registerServer(), S_OK);
  ASSERT_EQ(registerServer(), S_OK);
  char resolved[4096];
  ASSERT_NE(realpath(QUORVALEND_MODULE, resolved), nullptr);
  const std::string clsid = "{3BCF6E95-64BA-4383-8BAE-10972F2F5D9E}";
  const std::string expected = "Quorvalend.QuorvalendPro\tQuorvalend.QuorvalendPro\n"
                               "CLSID\\" + clsid + "\tQuorvalend.QuorvalendPro\n"
                               "Quorvalend.QuorvalendPro\\CLSID\t" + clsid + "\n"
                               "CLSID\\" + clsid + "\\ProgID\tQuorvalend.QuorvalendPro\n"
                               "CLSID\\" + clsid + "\\InProcServer32\t" + resolved + "\n";
  EXPECT_EQ(ReadFile(store), expected);
  unsetenv("QUORVALEND_REGISTRY");
  unlink(store.c_str());
}
#endif

}  // namespace
