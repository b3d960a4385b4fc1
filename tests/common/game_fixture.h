#pragma once
// A published game for the update-run tests: a source folder of files, published with
// kova-publish into a folder nginx serves, an options document pointing at it, and a private
// settings store.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <utime.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>

#include "platform/settings_store.h"
#include "tests/common/test_servers.h"

namespace kova::test {

// Every regular file below `root`, by relative path.
inline std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> files;
  for (auto& e : std::filesystem::recursive_directory_iterator(root)) {
    if (e.is_regular_file())
      files[std::filesystem::relative(e.path(), root).generic_string()] = ReadFile(e.path());
  }
  return files;
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// What a console run printed on standard output and on standard error, and how it ended.
struct TCliRun {
  int Status = -1;
  std::vector<std::string> Lines, Errors;
  std::string Last() const { return Lines.empty() ? std::string() : Lines.back(); }
  bool Has(const std::string& line) const { return Holds(Lines, line, false); }
  bool HasPrefix(const std::string& prefix) const { return Holds(Lines, prefix, true); }
  bool HasError(const std::string& line) const { return Holds(Errors, line, false); }
  bool ErrorHasPrefix(const std::string& prefix) const { return Holds(Errors, prefix, true); }

 private:
  static bool Holds(const std::vector<std::string>& lines, const std::string& text, bool prefix) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
      return prefix ? l.rfind(text, 0) == 0 : l == text;
    });
  }
};

class TGameFixture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { nginx_ = new TNginx; }
  static void TearDownTestSuite() {
    delete nginx_;
    nginx_ = nullptr;
  }
  void SetUp() override {
    uid_ = "run-" + std::to_string(::getpid()) + "-" + std::to_string(++counter_);
    source_ = work_ / "source";
    home_ = work_ / "home";
    std::filesystem::create_directories(source_ + "/bin");
    std::filesystem::create_directories(source_ + "/data/maps");
    std::filesystem::create_directories(home_);
    WriteFile(source_ + "/bin/game.sh", "#!/bin/sh\necho game\n");
    WriteFile(source_ + "/data/maps/level1.map", Bytes(150000, 1));
    WriteFile(source_ + "/data/textures.pak", Bytes(300000, 2));
    WriteFile(source_ + "/user.cfg", "volume=5\n");
    WriteFile(source_ + "/empty.dat", "");
    ::setenv("KOVA_REGISTRY", (work_ / "registry.sqlite3").c_str(), 1);
    // The programs under test reach the test's servers directly, whatever proxy the machine
    // names; a test that wants one sets it.
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                             "no_proxy", "NO_PROXY"})
      ::unsetenv(name);
    platform::CloseSettingsStore();
    WriteOptions("");
  }
  void TearDown() override {
    platform::CloseSettingsStore();
    ::unsetenv("KOVA_REGISTRY");
  }

  // Publishes the source folder at /<uid>/ on the server.
  void Publish() {
    TChild publish(KOVA_PUBLISH_EXE, {"--level", "1", source_, Served()});
    ASSERT_EQ(publish.WaitExit(120), 0);
  }
  // Publishes the source folder with chunks (and `extra` options, a signature's say) as a later
  // version: the list is dated later, so a kept copy of the last one is not taken for it.
  void PublishChunks(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"--level", "1", "--chunks"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(source_);
    args.push_back(Served());
    TChild publish(KOVA_PUBLISH_EXE, args);
    ASSERT_EQ(publish.WaitExit(120), 0) << publish.Output();
    Touch(Served() + "/patchlist.xml");
  }
  // A new publisher's key: the secret key goes to `file`, the public key (base64) is returned.
  std::string MakeKey(const std::string& file) {
    TChild keygen(KOVA_PUBLISH_EXE, {"keygen", file});
    EXPECT_EQ(keygen.WaitExit(30), 0);
    std::string key = keygen.Output();
    key.erase(key.find_last_not_of('\n') + 1);
    return key;
  }
  // Publishes the source folder signed with the secret key in `key`.
  void PublishSigned(const std::string& key, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"--level", "1", "--sign", key, "--uid", uid_};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(source_);
    args.push_back(Served());
    TChild publish(KOVA_PUBLISH_EXE, args);
    ASSERT_EQ(publish.WaitExit(120), 0);
  }
  // Writes `file`.sig with the secret key in `key`.
  void Sign(const std::string& key, const std::string& file) {
    TChild sign(KOVA_PUBLISH_EXE, {"sign", key, file});
    ASSERT_EQ(sign.WaitExit(30), 0);
  }
  // A served file rewritten as a later publication would be: dated later, so that the server's
  // validators (nginx's are the size and the date in seconds) tell it from the copy a launcher
  // kept.
  static void Touch(const std::string& path) {
    static int step = 0;
    std::filesystem::last_write_time(
        path, std::filesystem::file_time_type::clock::now() + std::chrono::seconds(2 * ++step));
  }
  std::string Served() const { return nginx_->Root() + "/" + uid_; }
  std::string ListUrl() const { return nginx_->Url("/" + uid_ + "/patchlist.xml"); }
  // The path on a server of a published file: /<uid>/name.
  std::string ServedPath(const std::string& name) const { return "/" + uid_ + "/" + name; }
  // An options document with the list at `url` and `extra` elements, nothing else.
  void UseList(const std::string& url, const std::string& extra = {}) {
    WriteFile(work_ / "options.xml", "<options><uid>" + uid_ + "</uid>" + extra + "<patchlist>" +
                                         url + "</patchlist></options>\n");
  }
  void WriteOptions(const std::string& extra) {
    WriteFile(work_ / "options.xml",
              "<options>\n <uid>" + uid_ + "</uid>\n <patchlist>" + ListUrl() +
                  "</patchlist>\n <run><program>bin\\game.sh</program></run>\n" + extra +
                  "</options>\n");
  }

  using TCliRun = test::TCliRun;
  TCliRun Cli(std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--options", work_ / "options.xml", "--home",
                                  home_,       "--retries",           "1"};
    args.insert(args.end(), extra.begin(), extra.end());
    const std::string errors = work_ / "cli-errors.txt";
    TChild cli(KOVA_CLI_EXE, args, {}, false, errors);
    TCliRun run;
    run.Status = cli.WaitExit(120);
    run.Lines = Lines(cli.Output());
    run.Errors = Lines(ReadFile(errors));
    return run;
  }
  // Access-log lines of archive requests since the log was last marked.
  std::size_t LogMark() const { return Lines(nginx_->AccessLog()).size(); }
  std::vector<std::string> LogSince(std::size_t mark) const {
    auto lines = Lines(nginx_->AccessLog());
    return std::vector<std::string>(lines.begin() + static_cast<long>(std::min(mark, lines.size())),
                                    lines.end());
  }
  static std::size_t CountContaining(const std::vector<std::string>& lines,
                                     const std::string& text) {
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(),
                      [&](const std::string& l) { return l.find(text) != std::string::npos; }));
  }
  // The game folder emptied, for a fresh install.
  void EmptyHome() {
    std::filesystem::remove_all(home_);
    std::filesystem::create_directories(home_);
  }
  // The home folder holds exactly the published files (and no leftovers of a repair).
  void ExpectHomeMatchesSource() {
    EXPECT_TRUE(Snapshot(home_) == Snapshot(source_)) << "home differs from the published folder";
  }

  static TNginx* nginx_;
  static inline int counter_ = 0;
  TTempDir work_;
  std::string uid_, source_, home_;
};
inline TNginx* TGameFixture::nginx_ = nullptr;

}  // namespace kova::test
