// Memory running out inside self-registration is answered with a failure
// status, never an exception, and costs nobody else's entries. Each
// allocation the registration makes is failed in turn.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "module/class_object.h"
#include "module/registration.h"
#include "tests/support/counting_allocator.h"

#if !defined(_WIN32)
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#endif

namespace qvtest {
namespace {

#if defined(_WIN32)
// The Windows module builds its entries in fixed buffers and reaches the
// registry through the system: it allocates nothing that could fail. A
// classes root of fixed arrays keeps this test from allocating either.
class FixedRegistry final : public quorvalend::ClassesRegistry {
 public:
  bool QueryDefault(const char* key, char* buffer, int32_t size) override {
    for (int i = 0; i < count; ++i) {
      if (strcmp(keys[i], key) == 0 && static_cast<int32_t>(strlen(values[i])) < size) {
        strcpy(buffer, values[i]);
        return true;
      }
    }
    return false;
  }
  bool SetDefault(const char* key, const char* value) override {
    int i = 0;
    while (i < count && strcmp(keys[i], key) != 0) ++i;
    if (i == kCapacity || strlen(key) >= sizeof keys[i] || strlen(value) >= sizeof values[i]) return false;
    strcpy(keys[i], key);
    strcpy(values[i], value);
    if (i == count) ++count;
    return true;
  }
  static constexpr int kCapacity = 8;
  char keys[kCapacity][128] = {};
  char values[kCapacity][1200] = {};
  int count = 0;
};

class ClassesRoot {
 public:
  ClassesRoot() { quorvalend::SetClassesRegistryForTesting(&registry_); }
  ~ClassesRoot() { quorvalend::SetClassesRegistryForTesting(nullptr); }
  bool OthersIntact() const { return true; }
  std::vector<std::string> LeftBeside() const { return {}; }
  int OurEntries() const { return registry_.count; }

 private:
  FixedRegistry registry_;
};
#else
// The Linux module's own file, holding another program's entry.
class ClassesRoot {
 public:
  ClassesRoot() {
    path_ = ::testing::TempDir() + "qv-oom-" + std::to_string(getpid()) + ".reg";
    std::ofstream(path_, std::ios::binary) << kForeign;
    setenv("QUORVALEND_REGISTRY", path_.c_str(), 1);
  }
  ~ClassesRoot() {
    unsetenv("QUORVALEND_REGISTRY");
    const std::string folder = path_.substr(0, path_.rfind('/') + 1);
    for (const std::string& name : LeftBeside()) unlink((folder + name).c_str());
    unlink(path_.c_str());
    unlink((path_ + ".lock").c_str());
  }
  bool OthersIntact() const { return Text().compare(0, strlen(kForeign), kForeign) == 0; }
  // Files beside ours: only its lock, never a temporary one left behind.
  std::vector<std::string> LeftBeside() const {
    std::vector<std::string> left;
    const std::string folder = path_.substr(0, path_.rfind('/'));
    const std::string prefix = path_.substr(folder.size() + 1) + ".";
    if (DIR* dir = opendir(folder.c_str())) {
      while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) == 0 && name != prefix + "lock") left.push_back(name);
      }
      closedir(dir);
    }
    return left;
  }
  int OurEntries() const {
    const std::string text = Text();
    int lines = 0;
    for (size_t at = strlen(kForeign); (at = text.find('\n', at)) != std::string::npos; ++at) ++lines;
    return lines;
  }

 private:
  static constexpr const char* kForeign = "Other.Program\tkeep me\nno tab here\n";
  std::string Text() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string path_;
};
#endif

TEST(AllocationFailure, RegistrationReportsItAndKeepsOtherEntries) {
  ClassesRoot root;
  long failures = 0;
  for (long skip = 0;; ++skip) {
    FailOneAllocationAfter(skip);
    HRESULT result = S_OK;
    // An exception escaping here fails the test.
    EXPECT_NO_THROW(result = quorvalend::ModuleRegisterServer()) << "allocation " << skip << " failed";
    if (!TakeAllocationFailure()) {
      EXPECT_EQ(result, S_OK) << "nothing failed after " << skip << " allocations";
      break;
    }
    ++failures;
    EXPECT_TRUE(result == E_OUTOFMEMORY || result == SELFREG_E_CLASS)
        << "allocation " << skip << " failed: 0x" << std::hex << result;
    ASSERT_TRUE(root.OthersIntact()) << "allocation " << skip << " failed";
    ASSERT_EQ(root.LeftBeside(), std::vector<std::string>()) << "allocation " << skip << " failed";
    ASSERT_LT(skip, 10000) << "registration never stops allocating";
  }
  EXPECT_TRUE(root.OthersIntact());
  EXPECT_EQ(root.OurEntries(), 5);
  RecordProperty("failed_allocations", static_cast<int>(failures));
#if defined(_WIN32)
  EXPECT_EQ(failures, 0) << "the Windows module allocated while registering";
#else
  EXPECT_GT(failures, 0) << "the Linux registration builds strings: some allocation should have failed";
#endif
}

}  // namespace
}  // namespace qvtest
