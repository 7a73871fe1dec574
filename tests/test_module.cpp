// The module boundary in-process: class object, counts, the empty dispatch
// interface and self-registration against an in-memory registry.
#include <functional>
#include <map>
#include <string>
#include <strings.h>

#include "module/class_object.h"
#include "module/module_lock.h"
#include "module/registration.h"
#include "tests/support/driver_handle.h"

namespace qvtest {
namespace {

const IID kIidIUnknown = QV_DEFINE_GUID_VALUE(0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
const IID kIidIClassFactory = QV_DEFINE_GUID_VALUE(1, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
const IID kIidIDispatch = QV_DEFINE_GUID_VALUE(0x00020400, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46);
const IID kNull = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
const CLSID kOtherClass = QV_DEFINE_GUID_VALUE(0x3BCF6E95, 0x64BA, 0x4383, 0x8B, 0xAE, 0x10, 0x97, 0x2F, 0x2F,
                                               0x5D, 0x9F);

constexpr int kCreateInstance = 3, kLockServer = 4;

void* ClassFactory() {
  void* factory = reinterpret_cast<void*>(1);
  EXPECT_EQ(quorvalend::ModuleGetClassObject(&CLSID_QuorvalendPro, &kIidIClassFactory, &factory), S_OK);
  return factory;
}

TEST(ClassObject, OtherClassIdentifiersAreNotAvailable) {
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(quorvalend::ModuleGetClassObject(&kOtherClass, &kIidIClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(quorvalend::ModuleGetClassObject(&CLSID_QuorvalendPro, &IID_IDeviceDriver, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
}

TEST(ClassObject, OnePointerServesIUnknownAndIClassFactory) {
  void* factory = ClassFactory();
  void* unknown = nullptr;
  EXPECT_EQ(CallSlot<HRESULT>(factory, slot::kQueryInterface, &kIidIUnknown, &unknown), S_OK);
  EXPECT_EQ(unknown, factory);
  EXPECT_EQ(CallSlot<ULONG>(unknown, slot::kRelease), 2u);
  EXPECT_EQ(CallSlot<ULONG>(factory, slot::kRelease), 1u);
  EXPECT_EQ(CallSlot<ULONG>(factory, slot::kRelease), 0u) << "never destroyed";
  EXPECT_EQ(CallSlot<ULONG>(factory, slot::kAddRef), 1u);
}

TEST(ClassObject, CanUnloadOnlyWhenNothingHoldsTheModule) {
  ASSERT_EQ(quorvalend::ModuleCanUnloadNow(), S_OK);
  void* factory = ClassFactory();
  EXPECT_EQ(quorvalend::ModuleCanUnloadNow(), S_FALSE) << "a client holds the class object";

  void* driver = nullptr;
  ASSERT_EQ(CallSlot<HRESULT>(factory, kCreateInstance, static_cast<void*>(nullptr), &IID_IDeviceDriver, &driver),
            S_OK);
  CallSlot<ULONG>(factory, slot::kRelease);
  EXPECT_EQ(quorvalend::ModuleCanUnloadNow(), S_FALSE) << "a driver object lives";
  CallSlot<ULONG>(driver, slot::kRelease);
  EXPECT_EQ(quorvalend::ModuleCanUnloadNow(), S_OK);

  factory = ClassFactory();
  EXPECT_EQ(CallSlot<HRESULT>(factory, kLockServer, 1), S_OK);
  CallSlot<ULONG>(factory, slot::kRelease);
  EXPECT_EQ(quorvalend::ModuleCanUnloadNow(), S_FALSE) << "LockServer holds it";
  factory = ClassFactory();
  EXPECT_EQ(CallSlot<HRESULT>(factory, kLockServer, 0), S_OK);
  CallSlot<ULONG>(factory, slot::kRelease);
  EXPECT_EQ(quorvalend::ModuleCanUnloadNow(), S_OK);
}

TEST(ClassObject, CreateInstanceOutcomes) {
  void* factory = ClassFactory();
  const int32_t locks = quorvalend::ModuleLockCount();
  void* out = reinterpret_cast<void*>(1);

  EXPECT_EQ(CallSlot<HRESULT>(factory, kCreateInstance, static_cast<void*>(nullptr), &IID_IDeviceIo,
                              static_cast<void**>(nullptr)),
            E_POINTER);

  int outer = 0;
  EXPECT_EQ(CallSlot<HRESULT>(factory, kCreateInstance, static_cast<void*>(&outer), &IID_IDeviceIo, &out),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(quorvalend::ModuleLockCount(), locks);

  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(CallSlot<HRESULT>(factory, kCreateInstance, static_cast<void*>(nullptr), &kIidIClassFactory, &out),
            E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(quorvalend::ModuleLockCount(), locks);

  for (int which : {1, 2}) {
    quorvalend::FailNextDriverAllocationForTesting(which);
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CallSlot<HRESULT>(factory, kCreateInstance, static_cast<void*>(nullptr), &IID_IDeviceIo, &out),
              E_OUTOFMEMORY);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(quorvalend::ModuleLockCount(), locks) << "no lock for an object never made";
  }

  void* io = nullptr;
  ASSERT_EQ(CallSlot<HRESULT>(factory, kCreateInstance, static_cast<void*>(nullptr), &IID_IDeviceIo, &io), S_OK);
  EXPECT_EQ(quorvalend::ModuleLockCount(), locks + 1);
  EXPECT_EQ(CallSlot<ULONG>(io, slot::kAddRef), 2u) << "the caller held the only reference";
  CallSlot<ULONG>(io, slot::kRelease);
  void* unknown = nullptr;
  void* dispatch = nullptr;
  ASSERT_EQ(CallSlot<HRESULT>(io, slot::kQueryInterface, &kIidIUnknown, &unknown), S_OK);
  ASSERT_EQ(CallSlot<HRESULT>(io, slot::kQueryInterface, &kIidIDispatch, &dispatch), S_OK);
  EXPECT_EQ(unknown, dispatch);
  CallSlot<ULONG>(unknown, slot::kRelease);
  CallSlot<ULONG>(dispatch, slot::kRelease);
  EXPECT_EQ(CallSlot<ULONG>(io, slot::kRelease), 0u);
  EXPECT_EQ(quorvalend::ModuleLockCount(), locks);
  CallSlot<ULONG>(factory, slot::kRelease);
}

// The dispatch interface: slots 3..6 of IDispatch.
class EmptyDispatch : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CallSlot<HRESULT>(driver.Driver(), slot::kQueryInterface, &kIidIDispatch, &dispatch), S_OK);
  }
  void TearDown() override { CallSlot<ULONG>(dispatch, slot::kRelease); }
  DriverHandle driver;
  void* dispatch = nullptr;
};

TEST_F(EmptyDispatch, NoTypeInformation) {
  unsigned count = 7;
  EXPECT_EQ(CallSlot<HRESULT>(dispatch, 3, &count), S_OK);
  EXPECT_EQ(count, 0u);
  void* info = reinterpret_cast<void*>(1);
  EXPECT_EQ(CallSlot<HRESULT>(dispatch, 4, 0u, 0u, &info), E_NOTIMPL);
  EXPECT_EQ(CallSlot<HRESULT>(dispatch, 4, 1u, 0u, &info), E_INVALIDARG);
}

TEST_F(EmptyDispatch, NoNames) {
  DISPID ids[3] = {5, 5, 5};
  OLECHAR name[] = {'R', 'e', 'a', 'd', 0};
  OLECHAR* names[3] = {name, name, name};
  EXPECT_EQ(CallSlot<HRESULT>(dispatch, 5, &kIidIDispatch, names, 3u, 0u, ids), DISP_E_UNKNOWNINTERFACE);
  EXPECT_EQ(ids[0], 5);
  EXPECT_EQ(CallSlot<HRESULT>(dispatch, 5, &kNull, names, 3u, 0u, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], -1);
  EXPECT_EQ(ids[2], -1);
  DISPID one = 5;
  EXPECT_EQ(CallSlot<HRESULT>(dispatch, 5, &kNull, static_cast<OLECHAR**>(nullptr), 0u, 0u, &one),
            DISP_E_UNKNOWNNAME);
  EXPECT_EQ(one, -1) << "the first slot is answered even without a name";
}

TEST_F(EmptyDispatch, NoMembers) {
  VARIANT result;
  memset(&result, 0x5A, sizeof result);
  DISPPARAMS plain{nullptr, nullptr, 0, 0};
  auto invoke = [&](const IID& iid, DISPPARAMS* params) {
    return CallSlot<HRESULT>(dispatch, 6, 1, &iid, 0u, static_cast<WORD>(1), params, &result,
                             static_cast<EXCEPINFO*>(nullptr), static_cast<unsigned*>(nullptr));
  };
  EXPECT_EQ(invoke(kNull, &plain), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(result.vt, VT_EMPTY);
  EXPECT_EQ(invoke(kIidIDispatch, &plain), DISP_E_UNKNOWNINTERFACE);
  DISPID put = DISPID_PROPERTYPUT, other = 4;
  DISPPARAMS propertyPut{nullptr, &put, 1, 1};
  EXPECT_EQ(invoke(kNull, &propertyPut), DISP_E_MEMBERNOTFOUND);
  DISPPARAMS named{nullptr, &other, 1, 1};
  EXPECT_EQ(invoke(kNull, &named), DISP_E_NONAMEDARGS);
  DISPID two[2] = {DISPID_PROPERTYPUT, DISPID_PROPERTYPUT};
  DISPPARAMS twoNamed{nullptr, two, 2, 2};
  EXPECT_EQ(invoke(kNull, &twoNamed), DISP_E_NONAMEDARGS);
}

// A host that passes a null identifier pointer gets a status, as it does
// for a null out pointer: E_POINTER from QueryInterface, E_INVALIDARG from
// everything else. The out pointer, where there is one, is cleared.
TEST(NullIdentifiers, EverySlotThatTakesOneAnswersWithAStatus) {
  const IID* const none = nullptr;
  // What the export forwards to, with the identifiers as the host passed them.
  const auto getClassObject = &quorvalend::ModuleGetClassObject;
  DriverHandle driver;
  void* factory = ClassFactory();
  void* dispatch = nullptr;
  ASSERT_EQ(CallSlot<HRESULT>(driver.Driver(), slot::kQueryInterface, &kIidIDispatch, &dispatch), S_OK);
  const int32_t locks = quorvalend::ModuleLockCount();

  struct Row {
    const char* call;
    HRESULT expected;
    bool hasOut;
    std::function<HRESULT(void**)> invoke;
  };
  DISPPARAMS plain{nullptr, nullptr, 0, 0};
  VARIANT result{};
  DISPID id = 5;
  const Row rows[] = {
      {"class object QueryInterface", E_POINTER, true,
       [&](void** out) { return CallSlot<HRESULT>(factory, slot::kQueryInterface, none, out); }},
      {"CreateInstance", E_INVALIDARG, true,
       [&](void** out) {
         return CallSlot<HRESULT>(factory, kCreateInstance, static_cast<void*>(nullptr), none, out);
       }},
      {"DllGetClassObject, class", E_INVALIDARG, true,
       [&](void** out) { return getClassObject(none, &kIidIClassFactory, out); }},
      {"DllGetClassObject, interface", E_INVALIDARG, true,
       [&](void** out) { return getClassObject(&CLSID_QuorvalendPro, none, out); }},
      {"DllGetClassObject, both", E_INVALIDARG, true,
       [&](void** out) { return getClassObject(none, none, out); }},
      {"IDeviceDriver QueryInterface", E_POINTER, true,
       [&](void** out) { return CallSlot<HRESULT>(driver.Driver(), slot::kQueryInterface, none, out); }},
      {"IDeviceIo QueryInterface", E_POINTER, true,
       [&](void** out) { return CallSlot<HRESULT>(driver.Io(), slot::kQueryInterface, none, out); }},
      {"IDispatch QueryInterface", E_POINTER, true,
       [&](void** out) { return CallSlot<HRESULT>(dispatch, slot::kQueryInterface, none, out); }},
      {"GetIDsOfNames", E_INVALIDARG, false,
       [&](void**) {
         return CallSlot<HRESULT>(dispatch, 5, none, static_cast<OLECHAR**>(nullptr), 0u, 0u, &id);
       }},
      {"Invoke", E_INVALIDARG, false,
       [&](void**) {
         return CallSlot<HRESULT>(dispatch, 6, 1, none, 0u, static_cast<WORD>(1), &plain, &result,
                                  static_cast<EXCEPINFO*>(nullptr), static_cast<unsigned*>(nullptr));
       }},
  };
  for (const Row& row : rows) {
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(row.invoke(&out), row.expected) << row.call;
    EXPECT_EQ(out, row.hasOut ? nullptr : reinterpret_cast<void*>(1)) << row.call;
    EXPECT_EQ(quorvalend::ModuleLockCount(), locks) << row.call << ": no object made, no lock taken";
  }
  EXPECT_EQ(id, 5) << "nothing answered for an unknown interface";
  CallSlot<ULONG>(dispatch, slot::kRelease);
  CallSlot<ULONG>(factory, slot::kRelease);
}

// An in-memory classes root that can be told to refuse the n-th write.
class MemoryRegistry final : public quorvalend::ClassesRegistry {
 public:
  bool QueryDefault(const char* key, char* buffer, int32_t size) override {
    auto it = Find(key);
    if (it == values.end() || static_cast<int32_t>(it->second.size()) >= size) return false;
    memcpy(buffer, it->second.c_str(), it->second.size() + 1);
    return true;
  }
  bool SetDefault(const char* key, const char* value) override {
    if (++writes == failWrite) return false;
    auto it = Find(key);
    if (it != values.end()) {
      it->second = value;
    } else {
      values[key] = value;
    }
    return true;
  }
  std::map<std::string, std::string>::iterator Find(const char* key) {
    for (auto it = values.begin(); it != values.end(); ++it) {
      if (strcasecmp(it->first.c_str(), key) == 0) return it;
    }
    return values.end();
  }
  std::map<std::string, std::string> values;
  int writes = 0;
  int failWrite = 0;
};

class Registration : public ::testing::Test {
 protected:
  void SetUp() override { quorvalend::SetClassesRegistryForTesting(&registry); }
  void TearDown() override { quorvalend::SetClassesRegistryForTesting(nullptr); }
  MemoryRegistry registry;
};

const char kClsidKey[] = "CLSID\\{3BCF6E95-64BA-4383-8BAE-10972F2F5D9E}";

TEST_F(Registration, WritesExactlyTheFiveEntries) {
  ASSERT_EQ(quorvalend::ModuleRegisterServer(), S_OK);
  ASSERT_EQ(registry.values.size(), 5u);
  EXPECT_EQ(registry.values["Quorvalend.QuorvalendPro"], "Quorvalend.QuorvalendPro");
  EXPECT_EQ(registry.values[kClsidKey], "Quorvalend.QuorvalendPro");
  EXPECT_EQ(registry.values["Quorvalend.QuorvalendPro\\CLSID"], "{3BCF6E95-64BA-4383-8BAE-10972F2F5D9E}");
  EXPECT_EQ(registry.values[std::string(kClsidKey) + "\\ProgID"], "Quorvalend.QuorvalendPro");
  char path[1024];
  ASSERT_TRUE(quorvalend::ModuleLongPath(path, sizeof path));
  char shortPath[1024];
  const std::string expected = quorvalend::ShortPathOf(path, shortPath, sizeof shortPath) ? shortPath : path;
  EXPECT_EQ(registry.values[std::string(kClsidKey) + "\\InProcServer32"], expected);
}

TEST_F(Registration, TwiceKeepsHandEditedDefaultsAndRewritesTheRest) {
  ASSERT_EQ(quorvalend::ModuleRegisterServer(), S_OK);
  registry.values["Quorvalend.QuorvalendPro"] = "Edited by hand";
  registry.values[kClsidKey] = "Also edited";
  registry.values[std::string(kClsidKey) + "\\ProgID"] = "Stale";
  ASSERT_EQ(quorvalend::ModuleRegisterServer(), S_OK);
  EXPECT_EQ(registry.values["Quorvalend.QuorvalendPro"], "Edited by hand");
  EXPECT_EQ(registry.values[kClsidKey], "Also edited");
  EXPECT_EQ(registry.values[std::string(kClsidKey) + "\\ProgID"], "Quorvalend.QuorvalendPro");
  EXPECT_EQ(registry.values.size(), 5u);
}

TEST_F(Registration, AFailedWriteEndsItsGroupAndIsReported) {
  registry.failWrite = 1;  // the ProgID key
  EXPECT_EQ(quorvalend::ModuleRegisterServer(), SELFREG_E_CLASS);
  EXPECT_TRUE(registry.values.empty()) << "rest of the first group and the whole second group unwritten";

  MemoryRegistry second;
  second.failWrite = 4;  // the second group's ProgID entry
  quorvalend::SetClassesRegistryForTesting(&second);
  EXPECT_EQ(quorvalend::ModuleRegisterServer(), SELFREG_E_CLASS);
  EXPECT_EQ(second.values.size(), 3u);
  EXPECT_EQ(second.values.count(std::string(kClsidKey) + "\\InProcServer32"), 0u);
}

std::string Substituted(const char* pattern, size_t size = 64) {
  const char* const symbols[9] = {"one", "two", "three", nullptr, "five", nullptr, nullptr, nullptr, nullptr};
  std::string out(size, '#');
  const bool fits = quorvalend::SubstituteSymbols(pattern, symbols, &out[0], size);
  const std::string text = out.c_str();
  return fits ? text : "(does not fit) " + text;
}

TEST(Substitution, SymbolsDigitsAndDoubleByteCharacters) {
  EXPECT_EQ(Substituted("%1\\%2=%5"), "one\\two=five");
  EXPECT_EQ(Substituted("100%% %0 %4x"), "100%% %0 x");
  // A GBK character whose second byte is '%' is copied whole.
  EXPECT_EQ(Substituted("\x81%1"), "\x81%1");
  EXPECT_EQ(Substituted("%"), "%");
  // The text and its terminator must fit; a symbol or a double-byte
  // character goes in whole or not at all, and what fitted is terminated.
  EXPECT_EQ(Substituted("%1", 4), "one");
  EXPECT_EQ(Substituted("%1", 3), "(does not fit) ");
  EXPECT_EQ(Substituted("x%1", 3), "(does not fit) x");
  EXPECT_EQ(Substituted("\x81%", 2), "(does not fit) ");
}

}  // namespace
}  // namespace qvtest
