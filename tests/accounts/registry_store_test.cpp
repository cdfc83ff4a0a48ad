#include "accounts/registry_store.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "accounts/ini_settings_file.h"
#include "tests/support/temp_folder.h"

namespace tarvel {
namespace {

using testing::ReadFileContent;
using testing::TempFolder;
using testing::WriteFileContent;

std::vector<std::string> KeptAsideFiles(const TempFolder& folder) {
  std::vector<std::string> kept;
  for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
    const std::string name = entry.path().filename().string();
    if (name.find(".broken-") != std::string::npos)
      kept.push_back(entry.path().string());
  }
  return kept;
}

TEST(RegistryStore, KeepsTypedValuesAndNamesInAnyLetterCase) {
  TempFolder folder;
  const std::string path = folder.file("registry");
  {
    RegistryStore store(path);
    ASSERT_TRUE(
        store.WriteValue("Software\\Quorline\\Tarvel", "Flags", RegistryValue::Dword(0x80)));
    ASSERT_TRUE(store.WriteValue("Software\\Quorline\\Tarvel", "Big", RegistryValue::Qword(~0ull)));
    ASSERT_TRUE(store.WriteValue("Software\\Quorline\\Tarvel", "Text",
                                 RegistryValue::String("tab\there\nline\\ \x01 \xE2\x82\xAC")));
    ASSERT_TRUE(store.WriteValue("Software\\Quorline\\Tarvel\\Sub", "Bytes",
                                 RegistryValue::Binary(std::string("\0\xFF\x10", 3))));
  }
  // A second store on the same file (another process, say) sees everything.
  RegistryStore reopened(path);
  EXPECT_EQ(reopened.ReadValue("software\\quorline\\tarvel", "FLAGS"), RegistryValue::Dword(0x80));
  EXPECT_EQ(reopened.ReadValue("Software\\Quorline\\Tarvel", "Flags")->AsNumber(), 0x80u);
  EXPECT_EQ(reopened.ReadValue("Software\\Quorline\\Tarvel", "Big")->AsNumber(), ~0ull);
  EXPECT_EQ(reopened.ReadValue("Software\\Quorline\\Tarvel", "Text")->data,
            "tab\there\nline\\ \x01 \xE2\x82\xAC");
  EXPECT_EQ(reopened.ReadValue("Software\\Quorline\\Tarvel\\Sub", "Bytes")->data,
            std::string("\0\xFF\x10", 3));
  EXPECT_FALSE(reopened.ReadValue("Software\\Quorline\\Tarvel", "Text")->AsNumber());
  EXPECT_EQ(reopened.Subkeys("Software\\Quorline"), std::vector<std::string>{"Tarvel"});
  EXPECT_EQ(reopened.Subkeys("Software\\Quorline\\Tarvel"), std::vector<std::string>{"Sub"});
  EXPECT_EQ(reopened.Values("Software\\Quorline\\Tarvel").size(), 3u);
}

TEST(RegistryStore, DeletesValuesAndKeysWithEverythingBelow) {
  TempFolder folder;
  RegistryStore store(folder.file("registry"));
  ASSERT_TRUE(store.WriteValue("A\\B\\C", "x", RegistryValue::Dword(1)));
  ASSERT_TRUE(store.WriteValue("A\\B", "y", RegistryValue::Dword(2)));
  ASSERT_TRUE(store.WriteValue("A\\BB", "z", RegistryValue::Dword(3)));
  EXPECT_TRUE(store.DeleteValue("A\\B", "Y"));
  EXPECT_FALSE(store.DeleteValue("A\\B", "y"));
  EXPECT_TRUE(store.DeleteKey("a\\b"));
  EXPECT_FALSE(store.KeyExists("A\\B\\C"));
  EXPECT_FALSE(store.ReadValue("A\\B\\C", "x"));
  // A key whose name merely starts the same stays.
  EXPECT_EQ(store.ReadValue("A\\BB", "z")->AsNumber(), 3u);
  EXPECT_FALSE(store.DeleteKey("A\\B"));
}

TEST(RegistryStore, FollowsTheConfigFolderOfTheEnvironment) {
  TempFolder folder;
  folder.UseAsConfigHome();
  EXPECT_EQ(RegistryStore::DefaultPath(), folder.file("config") + "/Quorline/registry");
  ::setenv("XDG_CONFIG_HOME", "relative/path", 1);  // not absolute: ignored
  EXPECT_EQ(RegistryStore::DefaultPath(), folder.file("home") + "/.config/Quorline/registry");
}

TEST(RegistryStore, BrokenFilesGiveDefaultsAndAreKeptAside) {
  struct Case {
    const char* name;
    std::string content;
  };
  const Case cases[] = {
      {"garbage",
       "\x7F"
       "ELF\x01\x02 not a store at all"},
      {"cut short", "QuorlineRegistry\t1\nK\tSoftware\nV\tFlags\tqword\t12\n"},
      {"newer version", "QuorlineRegistry\t2\nEND\n"},
      {"bad escape", "QuorlineRegistry\t1\nK\tA\nV\tx\\q\tsz\t1\nEND\n"},
      {"number out of range", "QuorlineRegistry\t1\nK\tA\nV\tx\tdword\t4294967296\nEND\n"},
      {"value before any key", "QuorlineRegistry\t1\nV\tx\tsz\t1\nEND\n"},
      {"text after the end", "QuorlineRegistry\t1\nEND\nK\tA\n"},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    TempFolder folder;
    const std::string path = folder.file("registry");
    ASSERT_TRUE(WriteFileContent(path, row.content));
    RegistryStore store(path);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(store.ReadValue("Software", "Flags"));
    EXPECT_FALSE(store.ReadValue("A", "x"));
    const std::string report = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(report.find(path), std::string::npos) << report;
    EXPECT_EQ(store.condition(), RegistryStoreCondition::Recovered);

    const std::vector<std::string> kept = KeptAsideFiles(folder);
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(ReadFileContent(kept[0]), row.content);

    // Writing afterwards starts a fresh file and leaves the kept one alone; reported once.
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(store.WriteValue("A", "x", RegistryValue::Dword(7)));
    EXPECT_EQ(store.ReadValue("A", "x")->AsNumber(), 7u);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(ReadFileContent(kept[0]), row.content);
  }
}

// Opening or reading fails with a given error while `failing` is set.
class FailingFileSystem : public StoreFileSystem {
 public:
  enum class Call {
    Open,
    Read,
  };
  FailingFileSystem(Call call, int error) : call_(call), error_(error) {}
  int Open(const char* path, int flags) const override {
    if (failing && call_ == Call::Open) {
      errno = error_;
      return -1;
    }
    return StoreFileSystem::Open(path, flags);
  }
  ssize_t Read(int fd, void* buffer, std::size_t size) const override {
    if (failing && call_ == Call::Read) {
      errno = error_;
      return -1;
    }
    return StoreFileSystem::Read(fd, buffer, size);
  }
  std::atomic<bool> failing = true;

 private:
  Call call_;
  int error_;
};

TEST(StoreFiles, ATransientReadErrorLeavesTheFileInPlaceAndRefusesWrites) {
  struct Case {
    const char* name;
    FailingFileSystem::Call call;
    int error;
  };
  const Case cases[] = {
      {"no descriptor left", FailingFileSystem::Call::Open, EMFILE},
      {"input/output error", FailingFileSystem::Call::Read, EIO},
  };
  for (const Case& row : cases) {
    SCOPED_TRACE(row.name);
    TempFolder folder;
    const std::string registryPath = folder.file("registry");
    const std::string iniPath = folder.file("tarvel.ini");
    {
      RegistryStore writer(registryPath);
      ASSERT_TRUE(writer.WriteValue("Software", "Flags", RegistryValue::Qword(0x80)));
      ASSERT_TRUE(writer.WriteValue("Software", "EWSServer", RegistryValue::String("x")));
      IniSettingsFile iniWriter(iniPath);
      ASSERT_TRUE(iniWriter.Write("Settings", "Flags", "128"));
      ASSERT_TRUE(iniWriter.Write("Settings", "EWSServer", "x"));
    }
    const std::string registryContent = ReadFileContent(registryPath);
    const std::string iniContent = ReadFileContent(iniPath);

    FailingFileSystem fileSystem(row.call, row.error);
    RegistryStore registry(registryPath, fileSystem);
    IniSettingsFile ini(iniPath, fileSystem);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(registry.ReadValue("Software", "Flags"));
    EXPECT_FALSE(registry.WriteValue("Software", "Flags", RegistryValue::Qword(1)));
    EXPECT_EQ(registry.condition(), RegistryStoreCondition::Unreadable);
    EXPECT_FALSE(ini.Read("Settings", "Flags"));
    EXPECT_FALSE(ini.Write("Settings", "Flags", "1"));
    EXPECT_FALSE(ini.IsUsable());
    const std::string report = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(report.find(registryPath + " cannot be read"), std::string::npos) << report;
    EXPECT_NE(report.find(iniPath + " cannot be read"), std::string::npos) << report;

    // Nothing was moved aside or written over.
    EXPECT_TRUE(KeptAsideFiles(folder).empty());
    EXPECT_EQ(ReadFileContent(registryPath), registryContent);
    EXPECT_EQ(ReadFileContent(iniPath), iniContent);

    // Once the file reads again, every value is there and a save keeps them all.
    fileSystem.failing = false;
    EXPECT_EQ(registry.ReadValue("Software", "Flags")->AsNumber(), 0x80u);
    EXPECT_TRUE(registry.WriteValue("Software", "Flags", RegistryValue::Qword(1)));
    EXPECT_EQ(registry.ReadValue("Software", "EWSServer")->data, "x");
    EXPECT_EQ(registry.condition(), RegistryStoreCondition::Healthy);
    EXPECT_EQ(ini.Read("Settings", "Flags"), "128");
    EXPECT_TRUE(ini.Write("Settings", "Flags", "1"));
    EXPECT_EQ(ini.Read("Settings", "EWSServer"), "x");
    EXPECT_TRUE(ini.IsUsable());
  }
}

TEST(RegistryStore, SurvivesAnyDamageToItsFile) {
  TempFolder folder;
  const std::string path = folder.file("registry");
  {
    RegistryStore store(path);
    ASSERT_TRUE(store.WriteValue("Software\\Quorline\\Tarvel", "Flags", RegistryValue::Qword(7)));
    ASSERT_TRUE(store.WriteValue("Software\\Quorline\\Tarvel\\Cookies_00000001", "a\tb",
                                 RegistryValue::String("x\x01y\\z")));
    ASSERT_TRUE(store.WriteValue("Software", "Bytes", RegistryValue::Binary("\x01\x02")));
  }
  const std::string original = ReadFileContent(path);
  std::mt19937 random(12345);
  for (int round = 0; round < 300; ++round) {
    std::string damaged = original;
    const int changes = 1 + static_cast<int>(random() % 4);
    for (int change = 0; change < changes && !damaged.empty(); ++change) {
      const std::size_t at = random() % damaged.size();
      switch (random() % 3) {
        case 0:
          damaged[at] = static_cast<char>(random() & 0xFF);
          break;
        case 1:
          damaged.erase(at, 1 + random() % 8);
          break;
        default:
          damaged.insert(at, 1, "\t\n\\x0K"[random() % 7]);
      }
    }
    ASSERT_TRUE(WriteFileContent(path, damaged));
    RegistryStore store(path);
    ::testing::internal::CaptureStderr();
    const std::optional<RegistryValue> flags =
        store.ReadValue("Software\\Quorline\\Tarvel", "Flags");
    store.Subkeys("Software");
    store.Values("Software\\Quorline\\Tarvel\\Cookies_00000001");
    EXPECT_TRUE(store.WriteValue("After", "x", RegistryValue::Dword(1)));
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(store.ReadValue("After", "x")->AsNumber(), 1u);
    for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
      if (entry.path().string().find(".broken-") != std::string::npos)
        std::filesystem::remove(entry.path());
    }
  }
}

// Runs `work` in a child process that ends with _exit.
template <typename Work>
pid_t Spawn(Work&& work) {
  const pid_t child = ::fork();
  if (child == 0) {
    work();
    ::_exit(0);
  }
  return child;
}

int WaitFor(pid_t child) {
  int status = 0;
  ::waitpid(child, &status, 0);
  return status;
}

TEST(RegistryStore, WritersInSeveralProcessesKeepEachOthersValues) {
  TempFolder folder;
  const std::string path = folder.file("registry");
  constexpr int kWriters = 3;
  constexpr int kValuesEach = 40;
  std::vector<pid_t> children;
  for (int writer = 0; writer < kWriters; ++writer) {
    children.push_back(Spawn([&] {
      RegistryStore store(path);
      for (int i = 0; i < kValuesEach; ++i) {
        const std::string name = "w" + std::to_string(writer) + "v" + std::to_string(i);
        if (!store.WriteValue("Software\\Quorline\\Tarvel", name, RegistryValue::Qword(i)))
          ::_exit(1);
      }
    }));
  }
  for (const pid_t child : children) {
    const int status = WaitFor(child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  RegistryStore store(path);
  EXPECT_EQ(store.Values("Software\\Quorline\\Tarvel").size(),
            static_cast<std::size_t>(kWriters * kValuesEach));
  for (int writer = 0; writer < kWriters; ++writer) {
    for (int i = 0; i < kValuesEach; ++i) {
      const std::string name = "w" + std::to_string(writer) + "v" + std::to_string(i);
      EXPECT_EQ(store.ReadValue("Software\\Quorline\\Tarvel", name)->AsNumber(),
                static_cast<uint64_t>(i))
          << name;
    }
  }
}

TEST(RegistryStore, AWriterKilledInTheMiddleLeavesAReadableStore) {
  TempFolder folder;
  const std::string path = folder.file("registry");
  {
    RegistryStore store(path);
    ASSERT_TRUE(store.WriteValue("K", "kept", RegistryValue::String("before")));
  }
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = Spawn([&] {
    RegistryStore store(path);
    // Large values make every write long, so the kill is likely to land inside one.
    const std::string large(256 * 1024, 'x');
    for (uint64_t i = 0;; ++i) {
      store.WriteValue("K", "counter", RegistryValue::Qword(i));
      store.WriteValue("K", "large" + std::to_string(i % 4), RegistryValue::String(large));
      if (i == 2) {
        const char signal = '1';
        if (::write(ready[1], &signal, 1) != 1)
          ::_exit(1);
      }
    }
  });
  char signal = 0;
  ASSERT_EQ(::read(ready[0], &signal, 1), 1);
  ::kill(child, SIGKILL);
  WaitFor(child);
  ::close(ready[0]);
  ::close(ready[1]);

  RegistryStore store(path);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(store.ReadValue("K", "kept")->data, "before");
  EXPECT_GE(store.ReadValue("K", "counter")->AsNumber().value_or(0), 2u);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(store.condition(), RegistryStoreCondition::Healthy);
  // The lock died with the writer, and the next write clears what it left behind.
  EXPECT_TRUE(store.WriteValue("K", "after", RegistryValue::Dword(1)));
  for (const auto& entry : std::filesystem::directory_iterator(folder.path()))
    EXPECT_EQ(entry.path().filename().string().find(".tmp-"), std::string::npos);
}

}  // namespace
}  // namespace tarvel
