// Registration on Linux through the module file's DllRegisterServer, into
// the classes file that other programs share: their bytes survive whatever
// they hold, concurrent registrations neither lose nor tear a line, links
// are never written through, and without a home there is no file at all.
#include <gtest/gtest.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "quorvalend/quorvalend.h"
#include "tests/support/module_file.h"

namespace {

const char kClsid[] = "{3BCF6E95-64BA-4383-8BAE-10972F2F5D9E}";

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

bool Exists(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0;
}

// The five lines one registration writes, in the order a first one adds them.
std::string OurEntries() {
  char resolved[4096];
  EXPECT_NE(realpath(QUORVALEND_MODULE, resolved), nullptr);
  const std::string clsid = kClsid;
  return "Quorvalend.QuorvalendPro\tQuorvalend.QuorvalendPro\n"
         "CLSID\\" + clsid + "\tQuorvalend.QuorvalendPro\n"
         "Quorvalend.QuorvalendPro\\CLSID\t" + clsid + "\n"
         "CLSID\\" + clsid + "\\ProgID\tQuorvalend.QuorvalendPro\n"
         "CLSID\\" + clsid + "\\InProcServer32\t" + resolved + "\n";
}

// Sets or clears an environment variable for one test.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) saved_ = old, had_ = true;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedVariable() {
    if (had_) {
      setenv(name_, saved_.c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::string saved_;
  bool had_ = false;
};

class ClassesFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "qv-classes-XXXXXX";
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    folder = pattern;
    store = folder + "/classes.reg";
    registry.reset(new ScopedVariable("QUORVALEND_REGISTRY", store.c_str()));
    ASSERT_TRUE(module.Loaded()) << QUORVALEND_MODULE;
    registerServer = module.Entry<QvDllRegisterServerFn>("DllRegisterServer");
    ASSERT_NE(registerServer, nullptr);
  }
  void TearDown() override {
    registry.reset();
    EXPECT_EQ(RemoveFolder(), "") << "left in the temporary folder";
  }
  // Empties and removes the folder; what could not be removed, and why,
  // or "" when it is gone.
  std::string RemoveFolder() {
    std::string problem;
    std::vector<std::string> names;
    if (!Names(&names)) problem = "cannot list " + folder + ": " + strerror(errno);
    for (const std::string& name : names) {
      const std::string path = folder + "/" + name;
      if (unlink(path.c_str()) != 0) problem += "cannot remove " + path + ": " + strerror(errno) + "; ";
    }
    if (rmdir(folder.c_str()) != 0 && errno != ENOENT) problem += "cannot remove " + folder + ": " + strerror(errno);
    return problem;
  }
  // The folder's entries but "." and ".."; false when it cannot be read
  // to its end.
  bool Names(std::vector<std::string>* names) const {
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return errno == ENOENT;
    errno = 0;
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names->push_back(name);
    }
    const bool complete = errno == 0;
    closedir(dir);
    return complete;
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    EXPECT_TRUE(Names(&names)) << "cannot list " << folder << ": " << strerror(errno);
    return names;
  }

  qvtest::ModuleFile module{QUORVALEND_MODULE};
  QvDllRegisterServerFn registerServer = nullptr;
  std::unique_ptr<ScopedVariable> registry;
  std::string folder;
  std::string store;
};

TEST_F(ClassesFile, AFreshFileHoldsTheFiveEntriesOnceAfterTwoRegistrations) {
  ASSERT_EQ(registerServer(), S_OK);
  ASSERT_EQ(registerServer(), S_OK);
  EXPECT_EQ(ReadBytes(store), OurEntries());
}

TEST_F(ClassesFile, OtherProgramsBytesSurviveWhateverTheyHold) {
  const struct {
    const char* what;
    std::string foreign;
  } kCases[] = {
      {"a 200,000-character value", "Other.Program\\CLSID\t" + std::string(200000, 'v') + "\n"},
      {"a line without a tab", "just some words, no tab\n"},
      {"a line holding a NUL byte", std::string("Other.Nul\tva\0lue\n", 17)},
      {"a NUL byte in the key", std::string("Quorvalend.QuorvalendPro\0\tnot ours\n", 35)},
      {"empty lines and a CR LF", "\n\nOther.Crlf\tvalue\r\n"},
      {"bytes that are not text", "\xff\xfe\x81\x40\t\x01\x02\x7f\n"},
      {"a key that only starts like ours", "Quorvalend.QuorvalendProX\tnot ours either\n"},
  };
  std::string all;
  for (const auto& c : kCases) all += c.foreign;
  for (const auto& c : kCases) {
    WriteBytes(store, c.foreign);
    ASSERT_EQ(registerServer(), S_OK) << c.what;
    ASSERT_EQ(registerServer(), S_OK) << c.what;
    EXPECT_TRUE(ReadBytes(store) == c.foreign + OurEntries()) << c.what << ": other bytes changed";
  }
  WriteBytes(store, all);
  ASSERT_EQ(registerServer(), S_OK);
  EXPECT_TRUE(ReadBytes(store) == all + OurEntries()) << "all of them in one file";
}

TEST_F(ClassesFile, OurStaleEntriesAreRewrittenInPlaceAndAnUnendedLastLineKept) {
  const std::string clsid = kClsid;
  WriteBytes(store, "Other.First\tone\n"
                    "clsid\\" + clsid + "\\inprocserver32\t/an/old/path.so\n"
                    "Other.Last\tno line feed");
  ASSERT_EQ(registerServer(), S_OK);
  const std::string entries = OurEntries();
  const std::string path = entries.substr(entries.rfind('\t') + 1);
  EXPECT_EQ(ReadBytes(store), "Other.First\tone\n"
                              "clsid\\" + clsid + "\\inprocserver32\t" + path +
                              "Other.Last\tno line feed\n"
                              "Quorvalend.QuorvalendPro\tQuorvalend.QuorvalendPro\n"
                              "CLSID\\" + clsid + "\tQuorvalend.QuorvalendPro\n"
                              "Quorvalend.QuorvalendPro\\CLSID\t" + clsid + "\n"
                              "CLSID\\" + clsid + "\\ProgID\tQuorvalend.QuorvalendPro\n");
}

TEST_F(ClassesFile, ConcurrentRegistrationsLoseNoEntryAndTearNoLine) {
  constexpr int kProcesses = 4, kRegistrations = 40;
  // A long foreign value makes every replacement a large write.
  const std::string foreign = "Other.Program\tkeep me\n"
                              "Other.Long\t" + std::string(100000, 'L') + "\n";
  WriteBytes(store, foreign);
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int failures = 0;
      for (int i = 0; i < kRegistrations; ++i) failures += registerServer() == S_OK ? 0 : 1;
      _exit(failures > 255 ? 255 : failures);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << "a registering process crashed";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failed registrations in one process";
  }
  EXPECT_TRUE(ReadBytes(store) == foreign + OurEntries()) << "the file after " << kProcesses * kRegistrations
                                                          << " concurrent registrations";
  for (const std::string& name : Names()) {
    EXPECT_TRUE(name == "classes.reg" || name == "classes.reg.lock") << "left behind: " << name;
  }
}

TEST_F(ClassesFile, SymbolicLinksAreNeverWrittenThrough) {
  const std::string victim = folder + "/victim";
  const struct {
    const char* what;
    const char* linkName;  // beside the file, pointing at the victim
    bool victimExists;
    HRESULT expected;
  } kCases[] = {
      {"the file is a link to an existing file", "classes.reg", true, SELFREG_E_CLASS},
      {"the file is a link to a file not there yet", "classes.reg", false, SELFREG_E_CLASS},
      {"the lock file is a link", "classes.reg.lock", true, SELFREG_E_CLASS},
      {"the lock file is a link to a file not there yet", "classes.reg.lock", false, SELFREG_E_CLASS},
      {"a link waits under a fixed temporary name", "classes.reg.tmp", true, S_OK},
  };
  const std::string victimBytes = "someone else's file\n";
  for (const auto& c : kCases) {
    registry.reset();
    ASSERT_EQ(RemoveFolder(), "") << c.what;
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0) << folder << ": " << strerror(errno);
    registry.reset(new ScopedVariable("QUORVALEND_REGISTRY", store.c_str()));
    if (c.victimExists) WriteBytes(victim, victimBytes);
    const std::string link = folder + "/" + c.linkName;
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0) << c.what;

    EXPECT_EQ(registerServer(), c.expected) << c.what;
    if (c.victimExists) {
      EXPECT_EQ(ReadBytes(victim), victimBytes) << c.what << ": written through the link";
    } else {
      EXPECT_FALSE(Exists(victim)) << c.what << ": created through the link";
    }
    struct stat status {};
    ASSERT_EQ(lstat(link.c_str(), &status), 0) << c.what;
    EXPECT_TRUE(S_ISLNK(status.st_mode)) << c.what << ": the link was replaced";
    if (c.expected == S_OK) {
      EXPECT_EQ(ReadBytes(store), OurEntries()) << c.what;
    }
  }
}

TEST_F(ClassesFile, WithoutAnyHomeThereIsNoFileAndRegistrationFails) {
  const std::string shared = "/tmp/quorvalend/classes.reg";
  const bool sharedExisted = Exists(shared);
  const std::string sharedBefore = sharedExisted ? ReadBytes(shared) : "";
  registry.reset();
  ScopedVariable none("QUORVALEND_REGISTRY", nullptr);
  ScopedVariable data("XDG_DATA_HOME", nullptr);
  ScopedVariable home("HOME", nullptr);
  EXPECT_EQ(registerServer(), SELFREG_E_CLASS);
  EXPECT_EQ(Exists(shared), sharedExisted) << "a shared folder was used";
  if (sharedExisted) {
    EXPECT_EQ(ReadBytes(shared), sharedBefore);
  }
}

}  // namespace
