// The shared small routines: strings, command-line splitting, file dates and the built-in
// options document.

#include "core/utility.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/console_host.h"
#include "core/options.h"
#include "core/startup.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/resources.h"
#include "support/text.h"
#include "support/version.h"
#include "tests/common/temp_dir.h"

namespace kova {
namespace {

using Strings = std::vector<std::string>;

TEST(StringRoutines, SplitByCharKeepsTheWholeTextFirstAndEmptyFields) {
  EXPECT_EQ(SplitByChar('|', "a||b"), (Strings{"a||b", "a", "", "b"}));
  EXPECT_EQ(SplitByChar('|', ""), (Strings{"", ""}));
  EXPECT_EQ(SplitByChar('|', "|"), (Strings{"|", "", ""}));
}

TEST(StringRoutines, LastCharPosIsOneBased) {
  EXPECT_EQ(LastCharPos('\\', "a\\b\\c"), 4u);
  EXPECT_EQ(LastCharPos('\\', "abc"), 0u);
  EXPECT_EQ(LastCharPos('a', "a"), 1u);
}

TEST(StringRoutines, OnlyHttpAndHttpsAddressesAreWebUrls) {
  EXPECT_TRUE(IsWebUrl("http://host/x"));
  EXPECT_TRUE(IsWebUrl("HTTP://HOST/"));
  EXPECT_TRUE(IsWebUrl("https://host/"));
  EXPECT_TRUE(IsWebUrl("HTTPS://host/"));
  EXPECT_FALSE(IsWebUrl("https:/host/"));
  EXPECT_FALSE(IsWebUrl(" http://host/"));
  EXPECT_FALSE(IsWebUrl("\n    http://host/"));
  EXPECT_FALSE(IsWebUrl("ftp://host/"));
  EXPECT_FALSE(IsWebUrl("http:/"));
}

TEST(StringRoutines, PathHelpers) {
  EXPECT_EQ(BackslashToSlash("a\\b\\c"), "a/b/c");
  EXPECT_EQ(ExtractFilePath("/games/x/updater"), "/games/x/");
  EXPECT_EQ(ExtractFilePath("updater"), "");
  EXPECT_EQ(ChangeFileExt("/g/Updater.exe", ".xml"), "/g/Updater.xml");
  EXPECT_EQ(ChangeFileExt("/g/kovaupdater", ".new.exe"), "/g/kovaupdater.new.exe");
  EXPECT_EQ(ChangeFileExt("/g.d/kovaupdater", ".xml"), "/g.d/kovaupdater.xml");
  EXPECT_EQ(SidecarPath("/g/Updater.new.exe"), "/g/Updater.new.xml");
}

TEST(StringRoutines, WindowsPathsSplitAtEitherSeparatorAndTheHomeFolderIsStoredWithSlashes) {
  if (!platform::IsPathDelimiter('\\')) GTEST_SKIP() << "a backslash is part of a name here";
  // What the system and the player give on Windows: backslashes, a folder with a dot in its
  // name, a program without an extension.
  EXPECT_EQ(ExtractFilePath("C:\\Games\\My.Game\\launcher.exe"), "C:\\Games\\My.Game\\");
  EXPECT_EQ(ExtractFilePath("C:\\Games/My.Game\\game"), "C:\\Games/My.Game\\");
  EXPECT_EQ(ExtractFileName("C:\\Games\\My.Game\\game.exe"), "game.exe");
  EXPECT_EQ(ChangeFileExt("C:\\Games\\My.Game\\launcher", ".new.exe"),
            "C:\\Games\\My.Game\\launcher.new.exe");
  EXPECT_EQ(ChangeFileExt("C:\\My.Game\\readme", ".kovabak"), "C:\\My.Game\\readme.kovabak");
  TUpdaterOptions o(kHkeyCurrentUser, "Software\\Tessary\\KovaUpdaterTest\\");
  o.SetHomeDir("C:\\Games\\My.Game");
  EXPECT_EQ(o.HomeDir(), "C:/Games/My.Game/");
  o.RunProgram = "game.exe";
  EXPECT_EQ(ExtractFilePath(o.ProgramPath()), "C:/Games/My.Game/");
}

TEST(CommandLine, SplitsOnBlanksAndQuotedStretches) {
  EXPECT_EQ(SplitCommandLine(""), Strings{});
  EXPECT_EQ(SplitCommandLine("  /update   \"C:\\Program Files\\x.exe\"  "),
            (Strings{"/update", "C:\\Program Files\\x.exe"}));
  EXPECT_EQ(SplitCommandLine("a\"b c\"d e"), (Strings{"ab cd", "e"}));
  EXPECT_EQ(SplitCommandLine("\"\" x"), (Strings{"x"}));  // an empty pair is skipped
  EXPECT_EQ(SplitCommandLine("\"\"\"\" x \"\""), (Strings{"x"}));
  EXPECT_EQ(SplitCommandLine("\"open ended"), (Strings{"open ended"}));
  EXPECT_EQ(SplitCommandLine("a\tb\nc"), (Strings{"a", "b", "c"}));
  EXPECT_EQ(SplitCommandLine("/delete \"/g/x.new.exe\" "), (Strings{"/delete", "/g/x.new.exe"}));
}

TEST(HelpText, HasTheFixedLinesJoinedByCarriageReturns) {
  const std::string text = HelpText(EncodeDateTime({2026, 5, 4, 0, 0, 0, 0}));
  const Strings lines = [&] {
    Strings out = SplitByChar('\r', text);
    out.erase(out.begin());
    return out;
  }();
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0], std::string("KovaUpdater ") + KOVA_VERSION);
  EXPECT_EQ(lines[1], "version date: 04.05.2026");
  EXPECT_EQ(lines[2], "");
  EXPECT_EQ(lines[3], "/? - Display command line parameters.");
  EXPECT_EQ(lines[4], "/clean - Clean updater settings from registry.");
  EXPECT_EQ(lines[5], "");
  EXPECT_EQ(lines[6], "Written by the KovaUpdater developers.");
  EXPECT_EQ(text.find('\n'), std::string::npos);
  EXPECT_NE(
      HelpText(EncodeDateTime({2026, 5, 4, 10, 0, 1, 0})).find("version date: 04.05.2026 10:00:01"),
      std::string::npos);
}

TEST(BuiltInOptions, IsAnEmptyOptionsElementWithCrLf) {
  std::string_view data;
  ASSERT_TRUE(platform::FindResourceData("OPTIONS", data));
  EXPECT_EQ(data, std::string_view("<options></options>\r\n"));
  EXPECT_EQ(data.size(), 21u);
  EXPECT_FALSE(platform::FindResourceData("NOPE", data));
}

TEST(FileRoutines, SizesAndMissingFiles) {
  test::TTempDir dir;
  test::WriteFile(dir / "f", std::string(1234, 'x'));
  EXPECT_EQ(GetFileSize64(dir / "f"), 1234);
  EXPECT_EQ(GetFileSize64(dir / "missing"), -1);
  EXPECT_EQ(GetFileSize64(dir.Path()), -1);  // folders are not files
  EXPECT_EQ(GetFileDosDate(dir / "missing"), -1);
  EXPECT_EQ(GetFileModifyTime(dir / "missing"), -1);
  EXPECT_FALSE(SetFileModifyTime(dir / "missing", 45000));
}

TEST(FileRoutines, ModifyTimeRoundTripsInLocalTimeAndPacksAsDosDate) {
  test::TTempDir dir;
  test::WriteFile(dir / "f", "x");
  const TDateTime t = EncodeDateTime({2023, 7, 14, 9, 26, 53, 0});
  ASSERT_TRUE(SetFileModifyTime(dir / "f", t));
  EXPECT_TRUE(SameDateTime(GetFileModifyTime(dir / "f"), t));
  const std::int32_t dos = GetFileDosDate(dir / "f");
  const auto u = static_cast<std::uint32_t>(dos);
  EXPECT_EQ(u >> 25, 2023u - 1980);
  EXPECT_EQ((u >> 21) & 15, 7u);
  EXPECT_EQ((u >> 16) & 31, 14u);
  EXPECT_EQ((u >> 11) & 31, 9u);
  EXPECT_EQ((u >> 5) & 63, 26u);
  EXPECT_EQ((u & 31) * 2, 52u);  // two-second resolution
  // Milliseconds are dropped when the time is set.
  ASSERT_TRUE(SetFileModifyTime(dir / "f", t + 600 * kMillisecondInDays));
  EXPECT_TRUE(SameDateTime(GetFileModifyTime(dir / "f"), t));
  EXPECT_EQ(GetFileDosDate(dir / "f"), dos);
}

TEST(FileRoutines, OneLookGivesTheSameSizeAndDateAsTheTwoRoutines) {
  test::TTempDir dir;
  test::WriteFile(dir / "f", std::string(777, 'x'));
  ASSERT_TRUE(SetFileModifyTime(dir / "f", EncodeDateTime({2022, 2, 3, 4, 5, 6, 0})));
  std::int64_t size = 0;
  std::int32_t date = 0;
  ASSERT_TRUE(GetFileSizeAndDosDate(dir / "f", size, date));
  EXPECT_EQ(size, GetFileSize64(dir / "f"));
  EXPECT_EQ(date, GetFileDosDate(dir / "f"));
  EXPECT_FALSE(GetFileSizeAndDosDate(dir / "missing", size, date));
  EXPECT_FALSE(GetFileSizeAndDosDate(dir.Path(), size, date));  // a folder is no file
}

TEST(FileRoutines, DatesBeforeTheDosEpochCannotBePacked) {
  test::TTempDir dir;
  test::WriteFile(dir / "old", "x");
  ASSERT_TRUE(SetFileModifyTime(dir / "old", EncodeDateTime({1975, 6, 1, 12, 0, 0, 0})));
  EXPECT_EQ(GetFileDosDate(dir / "old"), -1);
}

#ifndef _WIN32  // file modes and the run bit are POSIX matters
TEST(FileRoutines, UnreadableFileHasNoDate) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
  test::TTempDir dir;
  test::WriteFile(dir / "locked", "x");
  ::chmod((dir / "locked").c_str(), 0);
  EXPECT_EQ(GetFileDosDate(dir / "locked"), -1);
  EXPECT_EQ(GetFileSize64(dir / "locked"), 1);
}
#endif

TEST(FileRoutines, MovesNeverReplaceAndFoldersAreCreatedWhole) {
  test::TTempDir dir;
  test::WriteFile(dir / "a", "A");
  test::WriteFile(dir / "b", "B");
  EXPECT_FALSE(platform::MoveFileNoReplace(dir / "a", dir / "b"));
  EXPECT_EQ(test::ReadFile(dir / "b"), "B");
  EXPECT_TRUE(platform::ForceDirectories(dir / "x/y/z"));
  EXPECT_TRUE(platform::MoveFileNoReplace(dir / "a", dir / "x/y/z/a"));
  EXPECT_EQ(test::ReadFile(dir / "x/y/z/a"), "A");
  EXPECT_FALSE(platform::FileExists(dir / "a"));
  EXPECT_TRUE(platform::RemoveFile(dir / "b"));
  EXPECT_FALSE(platform::RemoveFile(dir / "b"));
  EXPECT_FALSE(platform::RemoveFile(dir / "x"));  // folders are not deleted as files
}

TEST(FileRoutines, CopyOverKeepsTheRunBitAndLeavesNoTemporaryFile) {
  test::TTempDir dir;
  test::WriteFile(dir / "src", "new content");
#ifndef _WIN32
  ::chmod((dir / "src").c_str(), 0755);
#endif
  test::WriteFile(dir / "dst", "old");
  ASSERT_TRUE(platform::CopyFileOver(dir / "src", dir / "dst"));
  EXPECT_EQ(test::ReadFile(dir / "dst"), "new content");
#ifndef _WIN32
  struct stat st {};
  ::stat((dir / "dst").c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
#endif
  EXPECT_FALSE(platform::FileExists(dir / "dst.kovacopy"));
  EXPECT_FALSE(platform::CopyFileOver(dir / "missing", dir / "dst"));
  EXPECT_EQ(test::ReadFile(dir / "dst"), "new content");
}

TEST(FileRoutines, RetryStopsAtTheFirstSuccess) {
  int attempts = 0;
  EXPECT_TRUE(RetryForFiveSeconds([&] { return ++attempts == 3; }));
  EXPECT_EQ(attempts, 3);
}

TEST(ConsoleHost, ControlBytesReachNoTerminal) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  {
    TConsoleHost host(0, out, err, false);
    host.SetInfo("Checking a\x1b[2Jb\nforged line\x7f");
    EXPECT_EQ(host.RetryBox(TBoxKind::DownloadError, "Error while downloading patch for x\ry"),
              TBoxResult::Cancel);
  }
  auto text = [](std::FILE* f) {
    std::rewind(f);
    std::string all;
    for (int c; (c = std::fgetc(f)) != EOF;) all += static_cast<char>(c);
    std::fclose(f);
    return all;
  };
  EXPECT_EQ(text(out), "Checking a\\x1B[2Jb\\x0Aforged line\\x7F\n");
  EXPECT_NE(text(err).find("Error while downloading patch for x\\x0Dy [Cancel]\n"),
            std::string::npos);
}

}  // namespace
}  // namespace kova
