// The settings store as a real SQLite file, shared by real processes.

#include "platform/settings_store.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>

#include "core/options.h"
#include "core/registry.h"
#include "tests/common/child_process.h"
#include "tests/common/temp_dir.h"

namespace kova {
namespace {

using platform::TRegKeyHandle;

class SettingsStore : public ::testing::Test {
 protected:
  void SetUp() override { UseFile(dir_ / "registry.sqlite3"); }
  void TearDown() override {
    platform::CloseSettingsStore();
    ::unsetenv("KOVA_REGISTRY");
  }
  void UseFile(const std::string& path) {
    platform::CloseSettingsStore();
    ::setenv("KOVA_REGISTRY", path.c_str(), 1);
  }
  std::string Helper(const std::vector<std::string>& args, int* code = nullptr) {
    test::TChild child(KOVA_TEST_HELPER_EXE, args);
    const int rc = child.WaitExit(60);
    if (code) *code = rc;
    return child.Output();
  }
  test::TTempDir dir_;
};

TEST_F(SettingsStore, NamesCompareWithoutLetterCaseAndValuesKeepCreationOrder) {
  ASSERT_TRUE(RegWriteString(kHkeyCurrentUser, "Software\\Game\\Beta", "b"));
  ASSERT_TRUE(RegWriteString(kHkeyCurrentUser, "software\\GAME\\alpha", "a"));
  ASSERT_TRUE(
      RegWriteString(kHkeyCurrentUser, "Software\\Game\\BETA", "b2"));  // rewrite keeps its place
  std::vector<std::string> names;
  ASSERT_TRUE(RegListValueNames(kHkeyCurrentUser, "SOFTWARE\\game", names));
  EXPECT_EQ(names, (std::vector<std::string>{"Beta", "alpha"}));
  std::string text;
  ASSERT_TRUE(RegReadString(kHkeyCurrentUser, "Software\\Game\\beta", text));
  EXPECT_EQ(text, "b2");
}

TEST_F(SettingsStore, TheStoreAndItsLogAreTheOwnersAlone) {
  const mode_t old = ::umask(022);
  ASSERT_TRUE(RegWriteString(kHkeyCurrentUser, "Software\\Test\\private", "1"));
  ::umask(old);
  struct stat st {};
  ASSERT_EQ(::stat((dir_ / "registry.sqlite3").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat((dir_ / "registry.sqlite3-wal").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SettingsStore, TextsKeepTheirBytes) {
  const std::string bytes = "line1\r\nline2\t\x80\xFF\xE9|end";
  ASSERT_TRUE(RegWriteString(kHkeyCurrentUser, "K\\v", bytes));
  ASSERT_TRUE(RegWriteString(kHkeyCurrentUser, "K\\empty", ""));
  std::string text;
  ASSERT_TRUE(RegReadString(kHkeyCurrentUser, "K\\v", text));
  EXPECT_EQ(text, bytes);
  ASSERT_TRUE(RegReadString(kHkeyCurrentUser, "K\\empty", text));
  EXPECT_EQ(text, "");
}

TEST_F(SettingsStore, FailuresAreReportedNotRaised) {
  std::string text = "stale";
  EXPECT_FALSE(RegReadString(kHkeyCurrentUser, "Missing\\value", text));
  EXPECT_EQ(text, "");
  EXPECT_FALSE(RegWriteString(kHkeyCurrentUser, "NoBackslash", "x"));
  EXPECT_FALSE(RegReadString(kHkeyCurrentUser, "NoBackslash", text));
  EXPECT_FALSE(RegDeleteKeyPath(kHkeyCurrentUser, "Missing\\key"));
  std::vector<std::string> names;
  EXPECT_FALSE(RegListValueNames(kHkeyCurrentUser, "Missing", names));
  // A value that is not a text is not read as one.
  TRegKeyHandle key = nullptr;
  ASSERT_TRUE(platform::CreateKey(platform::TRegRoot::CurrentUser, "Typed", key));
  ASSERT_TRUE(platform::SetValue(key, "n", platform::kRegDword, std::string("\x01\0\0\0", 4)));
  platform::CloseKey(key);
  EXPECT_FALSE(RegReadString(kHkeyCurrentUser, "Typed\\n", text));
}

TEST_F(SettingsStore, AKeyWithSubkeysIsNotDeleted) {
  ASSERT_TRUE(RegWriteString(kHkeyCurrentUser, "S\\U\\HomeDir", "/h/"));
  ASSERT_TRUE(RegWriteString(kHkeyCurrentUser, "S\\U\\PatchList\\1", "archive|a|0|0|0|0"));
  EXPECT_FALSE(RegDeleteKeyPath(kHkeyCurrentUser, "S\\U"));
  EXPECT_TRUE(RegDeleteKeyPath(kHkeyCurrentUser, "S\\U\\PatchList"));
  EXPECT_TRUE(RegDeleteKeyPath(kHkeyCurrentUser, "S\\U"));
  std::string text;
  EXPECT_FALSE(RegReadString(kHkeyCurrentUser, "S\\U\\HomeDir", text));
  // A path ending in a backslash names the opened key itself.
  ASSERT_TRUE(RegWriteString(kHkeyCurrentUser, "S\\V\\x", "1"));
  EXPECT_TRUE(RegDeleteKeyPath(kHkeyCurrentUser, "S\\V\\"));
  EXPECT_FALSE(RegReadString(kHkeyCurrentUser, "S\\V\\x", text));
}

TEST_F(SettingsStore, AHandleToADeletedKeyFailsInsteadOfWritingAnOrphan) {
  TRegKeyHandle key = nullptr;
  ASSERT_TRUE(platform::CreateKey(platform::TRegRoot::CurrentUser, "Gone\\Soon", key));
  ASSERT_TRUE(RegDeleteKeyPath(kHkeyCurrentUser, "Gone\\Soon"));
  EXPECT_FALSE(platform::SetValue(key, "v", platform::kRegString, std::string("x\0", 2)));
  platform::CloseKey(key);
}

TEST_F(SettingsStore, ValuesWrittenByOneProcessAreReadByTheNext) {
  int code = -1;
  Helper({"write", "Software\\Tessary\\KovaUpdater\\xproc\\HomeDir", "/games/one/"}, &code);
  ASSERT_EQ(code, 0);
  EXPECT_EQ(Helper({"read", "Software\\Tessary\\KovaUpdater\\xproc\\HomeDir"}), "/games/one/");
  std::string text;
  ASSERT_TRUE(
      RegReadString(kHkeyCurrentUser, "Software\\Tessary\\KovaUpdater\\XPROC\\homedir", text));
  EXPECT_EQ(text, "/games/one/");
  ASSERT_TRUE(RegWriteString(kHkeyCurrentUser, "Software\\Tessary\\KovaUpdater\\xproc\\LastUpdate",
                             "01.02.2025 03:04:05"));
  EXPECT_EQ(Helper({"read", "Software\\Tessary\\KovaUpdater\\xproc\\LastUpdate"}),
            "01.02.2025 03:04:05");
}

TEST_F(SettingsStore, ACacheOfTwentyThousandRecordsComesBackIntactAndInOrder) {
  int code = -1;
  const std::string saved = Helper({"save-cache", "big", "20000"}, &code);
  ASSERT_EQ(code, 0);
  std::size_t lines = 0;
  for (char c : saved) lines += c == '\n';
  ASSERT_EQ(lines, 20000u);
  const std::string loaded = Helper({"load-cache", "big"}, &code);
  ASSERT_EQ(code, 0);
  auto lines_of = [](const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
      out.push_back(text.substr(start, nl - start));
    }
    return out;
  };
  const std::vector<std::string> savedLines = lines_of(saved);
  // Stored in the writer's iteration order: value k holds its k-th record.
  const std::string key = "Software\\Tessary\\KovaUpdater\\big\\PatchList";
  std::vector<std::string> names;
  ASSERT_TRUE(RegListValueNames(kHkeyCurrentUser, key, names));
  ASSERT_EQ(names.size(), 20000u);
  std::size_t mismatches = 0;
  for (std::size_t k = 0; k < names.size(); ++k) {
    std::string text;
    if (names[k] != std::to_string(k + 1) ||
        !RegReadString(kHkeyCurrentUser, key + "\\" + names[k], text) || text != savedLines[k]) {
      ++mismatches;
    }
  }
  EXPECT_EQ(mismatches, 0u);
  // The reader's map holds every record unchanged (its own iteration order follows its puts).
  std::vector<std::string> loadedLines = lines_of(loaded);
  std::vector<std::string> sortedSaved = savedLines;
  std::sort(loadedLines.begin(), loadedLines.end());
  std::sort(sortedSaved.begin(), sortedSaved.end());
  EXPECT_TRUE(loadedLines == sortedSaved) << "the cache read back differs from what was written";
}

TEST_F(SettingsStore, ACorruptFileFailsEveryCallWithoutCrashing) {
  for (const std::string& content :
       {std::string("this is not a database at all, just some text.........."),
        std::string("SQLite format 3\0garbage", 23)}) {
    test::WriteFile(dir_ / "corrupt.sqlite3", content + std::string(8192, '\x5a'));
    UseFile(dir_ / "corrupt.sqlite3");
    std::string text;
    EXPECT_FALSE(RegWriteString(kHkeyCurrentUser, "A\\b", "c"));
    EXPECT_FALSE(RegReadString(kHkeyCurrentUser, "A\\b", text));
    TUpdaterOptions options(kHkeyCurrentUser, kRegistryPath);
    options.Uid = "u";
    EXPECT_NO_THROW(options.LoadState());
    options.SetHomeDir("/x");  // the in-memory value still changes
    EXPECT_EQ(options.HomeDir(), "/x/");
  }
}

TEST_F(SettingsStore, ATruncatedFileReadsAsEmptyOrFailsCleanly) {
  ASSERT_TRUE(RegWriteString(kHkeyCurrentUser, "T\\v", "1"));
  platform::CloseSettingsStore();
  ::truncate((dir_ / "registry.sqlite3").c_str(), 100);
  ::unlink((dir_ / "registry.sqlite3-wal").c_str());
  std::string text;
  EXPECT_FALSE(RegReadString(kHkeyCurrentUser, "T\\v", text));
}

TEST_F(SettingsStore, AStoreLockedByAnotherProcessFailsWritesButStillReads) {
  ASSERT_TRUE(RegWriteString(kHkeyCurrentUser, "L\\v", "before"));
  test::TChild holder(KOVA_TEST_HELPER_EXE, {"hold-lock", "4"});
  ASSERT_TRUE(holder.WaitForOutput("locked", 10));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(RegWriteString(kHkeyCurrentUser, "L\\v", "during"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));  // bounded wait
  std::string text;
  EXPECT_TRUE(RegReadString(kHkeyCurrentUser, "L\\v", text));
  EXPECT_EQ(text, "before");
  EXPECT_EQ(holder.WaitExit(15), 0);
  EXPECT_TRUE(RegWriteString(kHkeyCurrentUser, "L\\v", "after"));
}

}  // namespace
}  // namespace kova
