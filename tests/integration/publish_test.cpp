// kova-publish: deterministic output, reuse of unchanged archives, refused names, and archives
// that an independent decoder reads.

#include <gtest/gtest.h>

#include "tests/common/display.h"
#include "tests/common/game_fixture.h"

namespace kova {
namespace {

class Publish : public ::testing::Test {
 protected:
  int Run(const std::vector<std::string>& args, std::string* errors = nullptr) {
    // Standard error is where the tool reports; fold it into the captured output.
    std::string command = std::string("'") + KOVA_PUBLISH_EXE + "'";
    for (const auto& a : args) command += " '" + a + "'";
    test::TChild child("/bin/sh", {"-c", command + " 2>&1"});
    const int status = child.WaitExit(120);
    if (errors) *errors = child.Output();
    return status;
  }
  test::TTempDir dir_;
};

TEST_F(Publish, OutputIsDeterministicAndDecodableByXz) {
  const std::string src = dir_ / "src";
  std::filesystem::create_directories(src + "/a/b");
  test::WriteFile(src + "/a/b/one.bin", test::Bytes(100000, 1));
  test::WriteFile(src + "/two & three.txt", "text with <markup> & \"quotes\"\n");
  test::WriteFile(src + "/empty", "");
  ASSERT_EQ(Run({"--jobs", "2", src, dir_ / "out1"}), 0);
  ASSERT_EQ(Run({"--jobs", "1", "--level", "6", src, dir_ / "out2"}), 0);
  EXPECT_TRUE(test::Snapshot(dir_ / "out1") == test::Snapshot(dir_ / "out2"));
  const std::string list = test::ReadFile(dir_ / "out1/patchlist.xml");
  EXPECT_NE(list.find("filename=\"a\\b\\one.bin\""), std::string::npos) << list;
  EXPECT_NE(list.find("filename=\"two &amp; three.txt\""), std::string::npos) << list;
  EXPECT_NE(list.find("filename=\"empty\" original=\"00000000\" size=\"0\""), std::string::npos)
      << list;
  for (const char* name : {"a/b/one.bin", "empty"}) {
    test::TChild xz("/bin/sh", {"-c", "xz -d --format=lzma -c '" + (dir_ / "out1/") + name +
                                          ".lzma' | cmp - '" + src + "/" + name + "'"});
    EXPECT_EQ(xz.WaitExit(30), 0) << name;
  }
}

TEST_F(Publish, ASecondRunReusesUnchangedArchives) {
  const std::string src = dir_ / "src";
  std::filesystem::create_directories(src);
  test::WriteFile(src + "/keep.bin", test::Bytes(50000, 2));
  test::WriteFile(src + "/change.bin", test::Bytes(50000, 3));
  ASSERT_EQ(Run({src, dir_ / "out"}), 0);
  test::WriteFile(src + "/change.bin", test::Bytes(50000, 4));
  std::string report;
  ASSERT_EQ(Run({src, dir_ / "out"}, &report), 0);
  EXPECT_NE(report.find("reused keep.bin"), std::string::npos) << report;
  EXPECT_NE(report.find("compressed change.bin"), std::string::npos) << report;
  EXPECT_NE(report.find("2 files published (1 archives reused)"), std::string::npos) << report;
}

TEST_F(Publish, ABundleHoldsTheListAndWhatAPlayerLacksInAFixedOrderThatTarReads) {
  const std::string src = dir_ / "src", out = dir_ / "out";
  std::filesystem::create_directories(src + "/данные");
  test::WriteFile(src + "/keep.bin", test::Bytes(50000, 2));
  test::WriteFile(src + "/big.pak", test::Bytes(3 << 20, 3));
  const std::string longName = "/данные/" + std::string(120, 'n') + ".dat";
  test::WriteFile(src + longName, "beyond a tar header");
  ASSERT_EQ(Run({"--chunks", src, out}), 0);
  std::filesystem::copy_file(out + "/patchlist.xml", dir_ / "old.xml");
  auto members = [&](const std::vector<std::string>& args) {
    std::string report;
    EXPECT_EQ(Run(args, &report), 0) << report;
    return test::Lines(test::Shell("tar -tf '" + (dir_ / "bundle.tar") + "'"));
  };
  // The list first, then the archives in the list's order.
  auto whole = members({"bundle", out, dir_ / "bundle.tar"});
  ASSERT_EQ(whole.size(), 4u);
  EXPECT_EQ(whole[0], "patchlist.xml");
  const std::string list = test::ReadFile(out + "/patchlist.xml");
  const auto at = [&](const std::string& member) {
    return std::find(whole.begin(), whole.end(), member) - whole.begin();
  };
  EXPECT_EQ(list.find("big.pak") < list.find("keep.bin"), at("big.pak.lzma") < at("keep.bin.lzma"));
  EXPECT_NE(std::find(whole.begin(), whole.end(), "данные/" + std::string(120, 'n') + ".dat.lzma"),
            whole.end());
  test::Shell("mkdir -p '" + (dir_ / "x") + "' && tar -xf '" + (dir_ / "bundle.tar") + "' -C '" +
              (dir_ / "x") + "'");
  EXPECT_EQ(test::ReadFile(dir_ / "x/big.pak.lzma"), test::ReadFile(out + "/big.pak.lzma"));
  // From the old list: a changed large file's index and its new chunk, nothing unchanged.
  std::string pak = test::Bytes(3 << 20, 3);
  pak.replace(1000000, 7, "CHANGED");
  test::WriteFile(src + "/big.pak", pak);
  ASSERT_EQ(Run({"--chunks", src, out}), 0);
  const auto delta = members({"bundle", out, dir_ / "bundle.tar", "--from", dir_ / "old.xml"});
  ASSERT_GE(delta.size(), 3u);
  EXPECT_EQ(delta[0], "patchlist.xml");
  EXPECT_EQ(delta[1].rfind("chunks/index/", 0), 0u) << delta[1];
  EXPECT_LE(delta.size(), 4u);  // the change lies in one chunk, or across two
  // A publication that lacks an archive it lists writes no bundle.
  std::filesystem::remove(out + "/keep.bin.lzma");
  std::string report;
  EXPECT_EQ(Run({"bundle", out, dir_ / "broken.tar"}, &report), 1);
  EXPECT_NE(report.find("no bundle written"), std::string::npos) << report;
  EXPECT_FALSE(std::filesystem::exists(dir_ / "broken.tar"));
}

TEST_F(Publish, NamesTheLauncherWouldRefuseAreReportedNotWritten) {
  const std::string src = dir_ / "src";
  std::filesystem::create_directories(src);
  test::WriteFile(src + "/fine.txt", "ok");
  test::WriteFile(src + "/back\\slash.txt", "x");
  test::WriteFile(src + "/bar|pipe.txt", "x");
  test::WriteFile(src + "/C:drive", "x");
  test::WriteFile(src + "/Fine.txt", "x");
  std::string report;
  EXPECT_EQ(Run({src, dir_ / "out"}, &report), 1);
  const std::string list = test::ReadFile(dir_ / "out/patchlist.xml");
  EXPECT_NE(list.find("ine.txt"),
            std::string::npos);  // the first of Fine.txt and fine.txt in name order
  for (const char* bad : {"back", "pipe", "drive"}) {
    EXPECT_EQ(list.find(bad), std::string::npos) << bad;
    EXPECT_NE(report.find(bad), std::string::npos) << report;
  }
  EXPECT_NE(report.find("only in letter case"), std::string::npos) << report;
  EXPECT_EQ(Run({"--level", "12", src, dir_ / "out"}), 2);
  EXPECT_EQ(Run({dir_ / "missing", dir_ / "out"}), 2);
  // An output folder that is the source, or a link into it, would publish its own archives.
  std::filesystem::create_directory_symlink(src, dir_ / "link");
  for (const std::string& output : {src, dir_ / "link", dir_ / "link/sub"}) {
    std::string refusal;
    EXPECT_EQ(Run({src, output}, &refusal), 2) << output;
    EXPECT_NE(refusal.find("SOURCE_DIR"), std::string::npos) << refusal;
  }
  EXPECT_FALSE(std::filesystem::exists(src + "/patchlist.xml"));
  EXPECT_FALSE(std::filesystem::exists(src + "/fine.txt.lzma"));
}

}  // namespace
}  // namespace kova
