// The real module file, loaded as a host loads it: only the public header
// and the three exports, nothing of the driver's own code linked in.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>


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

TEST(ModuleFile, DllGetClassObjectAnswersNullIdentifiersWithAStatus) {
  Module module;
  ASSERT_TRUE(module.Loaded());
  // The export as a host calls it: identifiers by address.
  using GetClassObjectFn = HRESULT(QV_STDCALL*)(const CLSID*, const IID*, void**);
  const auto getClassObject = module.Entry<GetClassObjectFn>("DllGetClassObject");
  ASSERT_NE(getClassObject, nullptr);
  const struct {
    const CLSID* clsid;
    const IID* iid;
  } kCalls[] = {{nullptr, &kIidIClassFactory}, {&CLSID_QuorvalendPro, nullptr}, {nullptr, nullptr}};
  for (const auto& call : kCalls) {
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(getClassObject(call.clsid, call.iid, &out), E_INVALIDARG);
    EXPECT_EQ(out, nullptr);
  }
}

TEST(ModuleFile, ExportsOnlyItsEntryPoints) {
  Module module;
  ASSERT_TRUE(module.Loaded());
  EXPECT_NE(module.Entry<void*>("DllRegisterServer"), nullptr);
  EXPECT_EQ(module.Entry<void*>("DllUnregisterServer"), nullptr);
  EXPECT_EQ(module.Entry<void*>("_ZN10quorvalend14CQuorvalendPro6CreateEv"), nullptr);
}

}  // namespace
