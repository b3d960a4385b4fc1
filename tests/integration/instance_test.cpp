// Real launcher processes: the single-instance rule, the start-up commands and the self-update
// handshake between an old and a new copy of the executable.

#include "platform/instance.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <filesystem>

#include "core/options.h"
#include "core/registry.h"
#include "core/startup.h"
#include "core/utility.h"
#include "platform/main_loop.h"
#include "platform/settings_store.h"
#include "tests/common/child_process.h"
#include "tests/common/temp_dir.h"

namespace kova {
namespace {

const char kWaiting[] = "Waiting for instance messages";

class LauncherProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    uid_ = "it-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    exe_ = dir_ / "kovaupdater";
    std::filesystem::copy_file(KOVA_UPDATER_EXE, exe_);
    test::WriteFile(dir_ / "kovaupdater.xml", "<options>\n  <uid>" + uid_ + "</uid>\n</options>\n");
    ::setenv("KOVA_REGISTRY", (dir_ / "registry.sqlite3").c_str(), 1);
    platform::CloseSettingsStore();
  }
  void TearDown() override {
    platform::SendInstanceMessage(uid_, CloseMessageName(uid_));
    platform::CloseSettingsStore();
    ::unsetenv("KOVA_REGISTRY");
  }
  bool Close() { return platform::SendInstanceMessage(uid_, CloseMessageName(uid_)); }

  test::TTempDir dir_;
  std::string uid_;
  std::string exe_;
};

TEST_F(LauncherProcess, ASecondInstanceDeliversTheFocusMessageAndEnds) {
  test::TChild first(exe_, {});
  ASSERT_TRUE(first.WaitForOutput(kWaiting, 10)) << first.Output();
  EXPECT_EQ(FindProcessByPath(exe_), first.Pid());

  test::TChild second(exe_, {});
  EXPECT_EQ(second.WaitExit(10), 0);
  EXPECT_EQ(second.Output(), "");  // it never went on to run
  EXPECT_TRUE(first.WaitForOutput("Focus requested by another instance.", 10));
  EXPECT_TRUE(first.Running());

  ASSERT_TRUE(Close());
  EXPECT_EQ(first.WaitExit(10), 0);
  // The lock went with the process: a new instance runs.
  test::TChild third(exe_, {});
  EXPECT_TRUE(third.WaitForOutput(kWaiting, 10)) << third.Output();
}

TEST_F(LauncherProcess, HelpIsShownFirstThenTheRunningInstanceIsFocused) {
  test::TChild first(exe_, {});
  ASSERT_TRUE(first.WaitForOutput(kWaiting, 10));
  test::TChild help(exe_, {"/?"});
  EXPECT_EQ(help.WaitExit(10), 0);
  EXPECT_NE(help.Output().find("KovaUpdater 1.0.0\nversion date: "), std::string::npos)
      << help.Output();
  EXPECT_NE(help.Output().find("/clean - Clean updater settings from registry."),
            std::string::npos);
  EXPECT_TRUE(first.WaitForOutput("Focus requested", 10));
  // The spellings a player tries first answer as well, and start no run.
  for (const auto& [argument, says] :
       std::vector<std::pair<std::string, std::string>>{{"--help", "/? - Display command line"},
                                                        {"-h", "/? - Display command line"},
                                                        {"--version", "kovaupdater 1.0.0"}}) {
    test::TChild asked(exe_, {argument});
    EXPECT_EQ(asked.WaitExit(10), 0) << argument;
    EXPECT_NE(asked.Output().find(says), std::string::npos) << argument << asked.Output();
    EXPECT_EQ(asked.Output().find("Checking files"), std::string::npos) << argument;
  }
}

TEST_F(LauncherProcess, CleanInAnyCaseRemovesTheStoredSettings) {
  const std::string key = std::string(kRegistryPath) + uid_;
  ASSERT_TRUE(RegWriteString(kHkeyCurrentUser, key + "\\HomeDir", "/x/"));
  ASSERT_TRUE(
      RegWriteString(kHkeyCurrentUser, key + "\\PatchList\\1", "archive|a|00000000|00000000|0|0"));
  test::TChild clean(exe_, {" /CLEAN"});
  EXPECT_EQ(clean.WaitExit(10), 0);
  EXPECT_EQ(clean.Output(), "");
  std::vector<std::string> names;
  EXPECT_FALSE(RegListValueNames(kHkeyCurrentUser, key, names));
}

TEST_F(LauncherProcess, DeleteWithExitEndsAndWithoutItGoesOn) {
  test::WriteFile(dir_ / "victim1", "x");
  test::TChild deleteAndExit(exe_, {"/delete", dir_ / "victim1", "/EXIT "});
  EXPECT_EQ(deleteAndExit.WaitExit(10), 0);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "victim1"));
  EXPECT_EQ(deleteAndExit.Output(), "");

  test::WriteFile(dir_ / "victim2", "x");
  test::TChild deleteAndRun(exe_, {"/delete", dir_ / "victim2"});
  EXPECT_TRUE(deleteAndRun.WaitForOutput(kWaiting, 10));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "victim2"));
  ASSERT_TRUE(Close());
  EXPECT_EQ(deleteAndRun.WaitExit(10), 0);

  // A missing file is no failure.
  test::TChild missing(exe_, {"/delete", dir_ / "nothing", "/exit"});
  EXPECT_EQ(missing.WaitExit(10), 0);
}

TEST_F(LauncherProcess, TheHomeFolderIsTheExecutablesFolderUnlessRestored) {
  test::TChild first(exe_, {});
  ASSERT_TRUE(first.WaitForOutput(kWaiting, 10));
  EXPECT_NE(first.Output().find("home folder " + dir_.Path() + "/\n"), std::string::npos)
      << first.Output();
  std::string stored;
  EXPECT_TRUE(
      RegReadString(kHkeyCurrentUser, std::string(kRegistryPath) + uid_ + "\\HomeDir", stored));
  EXPECT_EQ(stored, dir_.Path() + "/");
  ASSERT_TRUE(Close());
  ASSERT_EQ(first.WaitExit(10), 0);

  // With restore_homedir a stored folder that exists is kept, and a corrupt stored date does not
  // stop the program.
  test::WriteFile(dir_ / "kovaupdater.xml",
                  "<options><uid>" + uid_ + "</uid><restore_homedir/></options>");
  std::filesystem::create_directory(dir_ / "elsewhere");
  ASSERT_TRUE(RegWriteString(kHkeyCurrentUser, std::string(kRegistryPath) + uid_ + "\\HomeDir",
                             dir_ / "elsewhere/"));
  ASSERT_TRUE(RegWriteString(kHkeyCurrentUser, std::string(kRegistryPath) + uid_ + "\\LastUpdate",
                             "garbage"));
  test::TChild second(exe_, {});
  ASSERT_TRUE(second.WaitForOutput(kWaiting, 10)) << second.Output();
  EXPECT_NE(second.Output().find("home folder " + dir_.Path() + "/elsewhere/\n"), std::string::npos)
      << second.Output();
}

TEST_F(LauncherProcess, SelfUpdateHandshakeReplacesTheRunningProgramAndCleansUp) {
  // N is a newer build: the same program with a marker appended.
  const std::string newExe = dir_ / "kovaupdater.new.exe";
  test::WriteFile(newExe, test::ReadFile(exe_) + "\nnew build marker\n");
  ::chmod(newExe.c_str(), 0755);
  const std::string oldContent = test::ReadFile(exe_);
  const std::string newContent = test::ReadFile(newExe);

  test::TChild old(exe_, {});
  ASSERT_TRUE(old.WaitForOutput(kWaiting, 10));

  test::TChild updater(newExe, {"/update", exe_});
  // While the old program runs its file cannot be replaced; the new copy keeps trying.
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_TRUE(updater.Running());
  EXPECT_TRUE(test::ReadFile(exe_) == oldContent);

  ASSERT_TRUE(Close());
  ASSERT_EQ(old.WaitExit(10), 0);
  EXPECT_EQ(updater.WaitExit(10), 0);
  EXPECT_TRUE(test::ReadFile(exe_) == newContent);
  struct stat st {};
  ::stat(exe_.c_str(), &st);
  EXPECT_TRUE(st.st_mode & S_IXUSR);

  // The replaced program was started with "/delete N": it removes N and goes on to run.
  EXPECT_TRUE(test::Eventually([&] { return !std::filesystem::exists(newExe); }, 10));
  EXPECT_TRUE(test::Eventually([&] { return Close(); }, 10));
  EXPECT_TRUE(test::Eventually([&] { return FindProcessByPath(exe_) == 0; }, 10));
  EXPECT_FALSE(std::filesystem::exists(exe_ + ".kovacopy"));
}

TEST_F(LauncherProcess, UpdateWithAMissingTargetStartsNothing) {
  test::TChild updater(exe_, {"/update", dir_ / "absent"});
  EXPECT_EQ(updater.WaitExit(10), 0);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "absent"));
}

// A program of another local user (nobody), started with setpriv: only root can start one.
std::unique_ptr<test::TChild> AsOtherUser(const std::vector<std::string>& args) {
  // The script goes on the command line: the checkout may be a folder only its owner can read.
  std::vector<std::string> all{"--reuid=65534",
                               "--regid=65534",
                               "--clear-groups",
                               "/usr/bin/python3",
                               "-c",
                               test::ReadFile(KOVA_SOURCE_DIR "/tests/servers/other_user.py")};
  all.insert(all.end(), args.begin(), args.end());
  return std::make_unique<test::TChild>("/usr/bin/setpriv", all, "", true);
}

TEST_F(LauncherProcess, AnotherUserCanNeitherTakeTheLockNorCloseTheLauncher) {
  if (::getuid() != 0) GTEST_SKIP() << "acting as a second user needs root";
  // The stranger binds the launcher's name first and records what reaches it.
  const std::string address = "kovaupdater." + std::to_string(::getuid()) + "." + uid_;
  test::TTempDir shared;
  std::filesystem::permissions(shared.Path(), std::filesystem::perms::all);
  const std::string log = shared / "received";
  auto squatter = AsOtherUser({"squat", address, log});
  ASSERT_TRUE(squatter->WaitForOutput("listening", 10));
  test::TChild launcher(exe_, {});
  // It neither ends at once nor tells the stranger anything: it runs without the lock.
  EXPECT_EQ(launcher.WaitExit(10), 0);
  EXPECT_NE(launcher.Output().find("running without a window"), std::string::npos)
      << launcher.Output();
  EXPECT_NE(launcher.Output().find("No single-instance lock is held"), std::string::npos)
      << launcher.Output();
  EXPECT_EQ(test::ReadFile(log).find("FOCUS=="), std::string::npos) << test::ReadFile(log);
  EXPECT_FALSE(platform::SendInstanceMessage(uid_, FocusMessageName(uid_)));  // nor do we
  squatter.reset();

  // With the lock held, a stranger's close message is not obeyed.
  test::TChild first(exe_, {});
  ASSERT_TRUE(first.WaitForOutput(kWaiting, 10)) << first.Output();
  auto sender = AsOtherUser({"send", address, CloseMessageName(uid_)});
  EXPECT_EQ(sender->WaitExit(10), 0);
  EXPECT_NE(sender->Output().find("sent"), std::string::npos);
  ::usleep(1500000);
  EXPECT_TRUE(first.Running());
  EXPECT_EQ(first.Output().find("Close requested."), std::string::npos);
  ASSERT_TRUE(Close());
  EXPECT_EQ(first.WaitExit(10), 0);
  EXPECT_NE(first.Output().find("Close requested."), std::string::npos);
}

TEST(InstanceLock, ASenderThatStallsNeverHoldsTheLoopAndOthersGetThrough) {
  const std::string name = "stall-test-" + std::to_string(::getpid());
  platform::TInstanceLock::TResult result{};
  auto lock = platform::TInstanceLock::TryAcquire(name, result);
  ASSERT_EQ(result, platform::TInstanceLock::TResult::Acquired);
  std::vector<std::string> messages;
  lock->ServeMessages({"FOCUS==" + name}, [&](const std::string& m) { messages.push_back(m); });
  // A peer that connects, sends half a message and stays.
  const int peer = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string id = "kovaupdater." + std::to_string(::getuid()) + "." + name;
  std::memcpy(addr.sun_path + 1, id.data(), id.size());
  ASSERT_EQ(::connect(peer, reinterpret_cast<sockaddr*>(&addr),
                      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + id.size())),
            0);
  ASSERT_EQ(::send(peer, "FOC", 3, 0), 3);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i) platform::ServePendingMessages();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  // Messages of no interest are dropped, the known one arrives meanwhile.
  for (int i = 0; i < 200; ++i) {
    platform::SendInstanceMessage(name, "NOISE" + std::to_string(i));
    platform::ServePendingMessages();  // the holder's loop runs beside its senders
  }
  EXPECT_TRUE(platform::SendInstanceMessage(name, "FOCUS==" + name));
  EXPECT_TRUE(test::Eventually(
      [&] {
        platform::ServePendingMessages();
        return !messages.empty();
      },
      5));
  EXPECT_EQ(messages, std::vector<std::string>{"FOCUS==" + name});
  ::close(peer);
}

TEST(ExecuteFile, RunsInTheGivenFolderWithSplitParameters) {
  test::TTempDir dir;
  ASSERT_TRUE(ExecuteFile("/bin/sh", "-c \"pwd > out.txt; echo $0 >> out.txt\" \"second arg\"",
                          dir.Path()));
  EXPECT_TRUE(test::Eventually(
      [&] { return test::ReadFile(dir / "out.txt").find("second arg") != std::string::npos; }, 10));
  EXPECT_EQ(test::ReadFile(dir / "out.txt"), dir.Path() + "\nsecond arg\n");
  EXPECT_FALSE(ExecuteFile(dir / "no-such-program", "", dir.Path()));
}

TEST(FindProcessByPath, FindsAScriptRunningThroughItsInterpreter) {
  test::TTempDir dir;
  const std::string script = dir / "game.sh";
  // Its output goes nowhere, and its sleeps are short: a killed script leaves no sleeper behind
  // that would hold the test run's output open.
  test::WriteFile(script, "#!/bin/sh\nexec >/dev/null 2>&1\nwhile :; do sleep 1; done\n");
  std::filesystem::permissions(script, std::filesystem::perms(0755));
  EXPECT_EQ(FindProcessByPath(script), 0);
  // Started as Start starts it, and by the player from its folder with a relative path.
  ASSERT_TRUE(ExecuteFile(script, "", dir.Path()));
  ASSERT_TRUE(test::Eventually([&] { return FindProcessByPath(script) != 0; }, 5));
  // The shell forks before each sleep, and for that instant the copy runs the script too: what
  // is found is killed until nothing running the script is left.
  EXPECT_TRUE(test::Eventually(
      [&] {
        const int pid = FindProcessByPath(script);
        if (pid != 0) ::kill(pid, SIGKILL);
        return pid == 0;
      },
      5));
  test::TChild player("/bin/sh", {"-c", "cd '" + dir.Path() + "' && exec ./game.sh"});
  EXPECT_TRUE(test::Eventually([&] { return FindProcessByPath(script) == player.Pid(); }, 5));
  // A program that merely names the script is not the game: the check holds for scripts only.
  const std::string binary = dir / "game.bin";
  test::WriteFile(binary, "not a script");
  test::TChild viewer("/bin/sleep", {"30", binary});
  ::usleep(200000);
  EXPECT_EQ(FindProcessByPath(binary), 0);
}

TEST(InstanceLock, HeldUntilReleasedAndCarriesMessages) {
  const std::string name = "lock-test-" + std::to_string(::getpid());
  platform::TInstanceLock::TResult result{};
  auto lock = platform::TInstanceLock::TryAcquire(name, result);
  ASSERT_EQ(result, platform::TInstanceLock::TResult::Acquired);
  auto again = platform::TInstanceLock::TryAcquire(name, result);
  EXPECT_EQ(again, nullptr);
  EXPECT_EQ(result, platform::TInstanceLock::TResult::HeldElsewhere);
  std::vector<std::string> messages;
  lock->ServeMessages({"FOCUS==" + name, "CLOSE==" + name},
                      [&](const std::string& m) { messages.push_back(m); });
  EXPECT_TRUE(platform::SendInstanceMessage(name, "FOCUS==" + name));
  EXPECT_TRUE(platform::SendInstanceMessage(name, "HELLO"));  // delivered, but no message of ours
  EXPECT_TRUE(platform::SendInstanceMessage(name, "CLOSE==" + name));
  ASSERT_TRUE(test::Eventually(
      [&] {
        platform::ServePendingMessages();
        return messages.size() >= 2;
      },
      5));
  EXPECT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], "FOCUS==" + name);
  EXPECT_EQ(messages[1], "CLOSE==" + name);
  lock.reset();
  EXPECT_FALSE(platform::SendInstanceMessage(name, "FOCUS==" + name));
  auto after = platform::TInstanceLock::TryAcquire(name, result);
  EXPECT_EQ(result, platform::TInstanceLock::TResult::Acquired);
  // An empty name gives no protection.
  EXPECT_EQ(platform::TInstanceLock::TryAcquire("", result), nullptr);
  EXPECT_EQ(result, platform::TInstanceLock::TResult::Failed);
  EXPECT_EQ(platform::RegisterMessage("FOCUS=="), platform::RegisterMessage("FOCUS=="));
  EXPECT_NE(platform::RegisterMessage("FOCUS=="), platform::RegisterMessage("CLOSE=="));
}

}  // namespace
}  // namespace kova
