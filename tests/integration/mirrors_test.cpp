// A publication served from a primary address and a mirror: whatever fails on the first (no
// server, a 503, a missing or corrupt archive, a body cut short) is fetched from the next, and
// only when every address fails does the run end as it always has.

#include <gtest/gtest.h>

#include <regex>

#include "tests/common/game_fixture.h"
#include "tests/common/tampering_proxy.h"

namespace kova::test {
namespace {

class Mirrors : public TGameFixture {
 protected:
  static void SetUpTestSuite() {
    nginx_ = new TNginx(
        "    location /unavailable/ { return 503; }\n"
        // A copy whose server refuses every conditional request.
        "    location ~ -strict/ { if ($http_if_none_match) { return 400; } }\n");
  }

  // Options naming `first` and then the good copy at /<uid>/ as the list's addresses.
  void UseMirrors(const std::string& first) {
    WriteFile(work_ / "options.xml", "<options><uid>" + uid_ + "</uid><patchlist>" + first +
                                         "</patchlist><patchlist>" + ListUrl() +
                                         "</patchlist></options>\n");
  }
  // A copy of the publication at /<uid>-<name>/, as a mirror that fell behind would serve it.
  std::string CopyAs(const std::string& name) {
    const std::string copy = Served() + "-" + name;
    std::filesystem::copy(Served(), copy, std::filesystem::copy_options::recursive);
    return copy;
  }
  std::string CopyUrl(const std::string& name) const {
    return nginx_->Url("/" + uid_ + "-" + name + "/patchlist.xml");
  }
  // Requests for the good copy's archives since `mark`.
  std::size_t GoodCopyArchives(std::size_t mark) const {
    return CountContaining(LogSince(mark), "GET /" + uid_ + "/data/textures.pak.lzma ");
  }
};

TEST_F(Mirrors, WhatTheFirstAddressFailsToServeComesFromTheNext) {
  Publish();
  struct TCase {
    std::string Name;
    std::string First;
  };
  const std::string nobody = "http://127.0.0.1:" + std::to_string(FreePort()) + "/x/patchlist.xml";
  CopyAs("partial");
  std::filesystem::remove(Served() + "-partial/data/textures.pak.lzma");
  std::string corrupt = ReadFile(CopyAs("corrupt") + "/data/textures.pak.lzma");
  corrupt[corrupt.size() / 2] ^= 0x55;
  WriteFile(Served() + "-corrupt/data/textures.pak.lzma", corrupt);
  const std::vector<TCase> cases{
      {"nothing listening", nobody},
      {"503", nginx_->Url("/unavailable/" + uid_ + "/patchlist.xml")},
      {"an archive missing", CopyUrl("partial")},
      {"a corrupt archive", CopyUrl("corrupt")},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    EmptyHome();
    UseMirrors(c.First);
    const std::size_t mark = LogMark();
    const TCliRun run = Cli();
    EXPECT_EQ(run.Status, 0);
    EXPECT_EQ(run.Last(), "All files have been checked");
    ExpectHomeMatchesSource();
    EXPECT_EQ(GoodCopyArchives(mark), 1u) << "the good copy served the archive the first lacked";
  }
}

TEST_F(Mirrors, AValidatorIsSentOnlyWhereItCameFromAndNeverStopsALaterRun) {
  Publish();
  CopyAs("mirror");
  CopyAs("strict");
  // A server that refuses the conditions themselves is asked once more without them.
  UseList(CopyUrl("strict"));
  ASSERT_EQ(Cli().Status, 0);
  const std::size_t mark = LogMark();
  EXPECT_EQ(Cli().Status, 0);
  const std::vector<std::string> asked = LogSince(mark);
  EXPECT_EQ(CountContaining(asked, "-strict/patchlist.xml HTTP/1.1|-|KovaUpdater/1.0|400"), 1u);
  EXPECT_EQ(CountContaining(asked, "-strict/patchlist.xml HTTP/1.1|-|KovaUpdater/1.0|200"), 1u);
  // With the primary down, a mirror serves the list with an ETag no server takes back: 16 KiB
  // long, or holding a NUL byte.
  for (const std::string& etag :
       {"\"" + std::string(16 << 10, 'e') + "\"", std::string("\"a\0b\"", 5)}) {
    SCOPED_TRACE(etag.size());
    EmptyHome();
    TTamperingProxy mirror(nginx_->Port(), [&](const std::string& path, std::string& head,
                                               std::string&) {
      if (path.find("patchlist.xml") != std::string::npos)
        head = std::regex_replace(head, std::regex("\r\nETag: [^\r]*"), "") + "\r\nETag: " + etag;
    });
    WriteFile(work_ / "options.xml", "<options><uid>" + uid_ + "</uid><patchlist>" + ListUrl() +
                                         "</patchlist><patchlist>" +
                                         mirror.Url("/" + uid_ + "-mirror/patchlist.xml") +
                                         "</patchlist></options>\n");
    std::filesystem::rename(Served(), Served() + "-away");
    const TCliRun fromMirror = Cli();
    std::filesystem::rename(Served() + "-away", Served());
    ASSERT_EQ(fromMirror.Status, 0) << fromMirror.Last();
    // The primary is back: it is asked without the mirror's validators.
    const TCliRun back = Cli({"--check"});
    EXPECT_EQ(back.Status, 0) << back.Last();
    ExpectHomeMatchesSource();
  }
}

TEST_F(Mirrors, ABodyCutShortContinuesFromTheNextAddressWithARange) {
  Publish();
  // Every archive reply from the first address ends after 100,000 bytes.
  TFlakyProxy cutting(nginx_->Port(), 1.0, 1, {"suffix:.lzma", "cut:100000", "short"});
  UseMirrors(cutting.Url("/" + uid_ + "/patchlist.xml"));
  const std::size_t mark = LogMark();
  const TCliRun run = Cli();
  EXPECT_EQ(run.Status, 0);
  ExpectHomeMatchesSource();
  // Through the proxy the upstream sees the request whole; a continuation asks for the rest.
  // (Once the first address has failed, the archives that start later go to the next at once.)
  std::size_t continued = 0;
  for (const std::string& line : LogSince(mark)) {
    if (line.find(".lzma ") != std::string::npos && line.find("|bytes=") != std::string::npos)
      ++continued;
  }
  EXPECT_GE(continued, 1u);
}

TEST_F(Mirrors, WhenEveryAddressFailsTheRunEndsAsItAlwaysHas) {
  Publish();
  UseMirrors(nginx_->Url("/unavailable/" + uid_ + "/patchlist.xml"));
  // The list is served, but neither copy has this archive.
  std::filesystem::remove(Served() + "/data/textures.pak.lzma");
  TCliRun run = Cli();
  EXPECT_NE(run.Status, 0);
  EXPECT_EQ(run.Last(), "Check cancelled due to an error");
  // Nothing answers at all.
  WriteFile(work_ / "options.xml", "<options><uid>" + uid_ + "</uid><patchlist>" +
                                       nginx_->Url("/unavailable/" + uid_ + "/patchlist.xml") +
                                       "</patchlist><patchlist>" +
                                       "http://127.0.0.1:" + std::to_string(FreePort()) +
                                       "/patchlist.xml" + "</patchlist></options>\n");
  run = Cli();
  EXPECT_NE(run.Status, 0);
  EXPECT_EQ(run.Last(), "Error while loading patchlist");
}

}  // namespace
}  // namespace kova::test
