// The unpack worker on archives made at test time by independent encoders: xz in its lzma
// format (unknown size, end marker) and lzma_alone (known size; with -eos an end marker).

#include <gtest/gtest.h>

#include <mutex>

#include "tests/common/child_process.h"
#include "tests/common/temp_dir.h"
#include "workers/decompress_thread.h"

namespace kova {
namespace {

// Game-like data that compresses well and encodes quickly.
std::string Compressible(std::size_t size) {
  std::string s;
  std::uint32_t x = 12345;
  while (s.size() < size) {
    x = x * 1103515245u + 12345u;
    s += "texture block " + std::to_string(x % 4096) + " of level " +
         std::to_string(s.size() / 100000) + "\n";
  }
  s.resize(size);
  return s;
}

class Unpack : public ::testing::Test {
 protected:
  std::string Encode(const std::string& content, const std::string& tool) {
    const std::string in = dir_ / "input.bin";
    const std::string out = dir_ / ("archive-" + tool + ".lzma");
    test::WriteFile(in, content);
    if (tool == "xz" || tool == "zstd") {
      const std::string command = tool == "xz" ? "xz --format=lzma -c '" : "zstd -19 -q -c '";
      test::TChild packer("/bin/sh", {"-c", command + in + "' > '" + out + "'"});
      EXPECT_EQ(packer.WaitExit(60), 0);
    } else {
      std::vector<std::string> args{"e", in, out, "-a0"};
      if (tool == "lzma_alone-eos") args.push_back("-eos");
      test::TChild alone("/usr/bin/lzma_alone", args);
      EXPECT_EQ(alone.WaitExit(60), 0);
    }
    return out;
  }
  struct TRun {
    bool Error = false;
    std::string Message;
    std::vector<std::pair<std::int64_t, std::int64_t>> Reports;
  };
  TRun Decode(const std::string& archive, const std::string& target) {
    TRun run;
    std::mutex mutex;
    TDecompressThread worker(archive, target,
                             [&](const std::string&, std::int64_t done, std::int64_t total) {
                               std::lock_guard<std::mutex> lock(mutex);
                               run.Reports.emplace_back(done, total);
                               return true;
                             });
    WaitWithMessages(worker);
    run.Error = worker.HasError();
    run.Message = worker.ErrorMessage();
    return run;
  }
  std::string Header(unsigned char props, std::uint32_t dict, std::uint64_t size) {
    std::string h(13, '\0');
    h[0] = static_cast<char>(props);
    for (int i = 0; i < 4; ++i) h[1 + i] = static_cast<char>(dict >> (8 * i));
    for (int i = 0; i < 8; ++i) h[5 + i] = static_cast<char>(size >> (8 * i));
    return h;
  }
  test::TTempDir dir_;
};

TEST_F(Unpack, DecodesArchivesOfEveryEncoderAndZstdFrames) {
  const std::string content = Compressible(1'000'000);
  for (const char* tool : {"lzma_alone", "xz", "lzma_alone-eos", "zstd"}) {
    const std::string target = dir_ / "out.bin";
    const TRun run = Decode(Encode(content, tool), target);
    EXPECT_FALSE(run.Error) << tool << ": " << run.Message;
    EXPECT_TRUE(test::ReadFile(target) == content) << tool;
  }
}

TEST_F(Unpack, AcceptsAnEndMarkerExactlyAtTheKnownSize) {
  const std::string content = Compressible(200000);
  std::string archive = test::ReadFile(Encode(content, "lzma_alone-eos"));
  ASSERT_EQ(archive.substr(5, 8), std::string(8, '\xFF'));  // written with unknown size
  for (int i = 0; i < 8; ++i)
    archive[5 + i] = static_cast<char>(static_cast<std::uint64_t>(content.size()) >> (8 * i));
  test::WriteFile(dir_ / "known-eos.lzma", archive);
  const TRun run = Decode(dir_ / "known-eos.lzma", dir_ / "out.bin");
  EXPECT_FALSE(run.Error) << run.Message;
  EXPECT_TRUE(test::ReadFile(dir_ / "out.bin") == content);
}

TEST_F(Unpack, ReportsFirstAboutFiftyTimesAndLast) {
  const std::string content = Compressible(10);
  TRun tiny = Decode(Encode(content, "lzma_alone"), dir_ / "tiny");
  ASSERT_FALSE(tiny.Error) << tiny.Message;
  ASSERT_FALSE(tiny.Reports.empty());
  EXPECT_EQ(tiny.Reports.front(), (std::pair<std::int64_t, std::int64_t>{0, 10}));
  EXPECT_EQ(tiny.Reports.back(), (std::pair<std::int64_t, std::int64_t>{10, 10}));
  EXPECT_EQ(test::ReadFile(dir_ / "tiny"), content);

  const std::string big = Compressible(4'000'000);
  TRun run = Decode(Encode(big, "lzma_alone"), dir_ / "big");
  ASSERT_FALSE(run.Error) << run.Message;
  ASSERT_GE(run.Reports.size(), 40u);
  EXPECT_LE(run.Reports.size(), 60u);
  EXPECT_EQ(run.Reports.front().first, 0);
  EXPECT_EQ(run.Reports.back().first, 4'000'000);
  for (std::size_t i = 1; i < run.Reports.size(); ++i)
    EXPECT_GE(run.Reports[i].first, run.Reports[i - 1].first);
}

TEST_F(Unpack, HeaderFaultsGiveTheirMessages) {
  struct TCase {
    std::string Bytes;
    const char* Message;
  };
  const std::vector<TCase> cases = {
      {"\x5d\0\0\x80", "Incorrect stream size."},
      {"", "Incorrect stream size."},
      {Header(225, 1 << 16, 10), "Incorrect stream properties."},
      {Header(0x5d, 0x80000000u, 10), "Incorrect stream properties."},
      {Header(0x5d, 1 << 16, 0) + "data", "Can't read stream size."},
      {Header(0x5d, 1 << 16, 10).substr(0, 9), "Can't read stream size."},
      {Header(4 * 9 + 8, 1 << 16, 10) + "data",
       "Incorrect stream properties."},  // lc 8 + lp 4: beyond the decoder
  };
  for (const TCase& c : cases) {
    test::WriteFile(dir_ / "bad.lzma", c.Bytes);
    const TRun run = Decode(dir_ / "bad.lzma", dir_ / "out.bin");
    EXPECT_TRUE(run.Error);
    EXPECT_EQ(run.Message, c.Message);
    EXPECT_TRUE(std::filesystem::exists(
        dir_ / "out.bin"));  // created before the checks; the caller deletes it
  }
  EXPECT_TRUE(Decode(dir_ / "absent.lzma", dir_ / "out.bin").Error);
}

TEST_F(Unpack, TruncatedOrDamagedDataIsAnErrorOrWrongOutputNeverACrash) {
  const std::string content = Compressible(500000);
  for (const char* tool : {"lzma_alone", "zstd"}) {
    SCOPED_TRACE(tool);
    const std::string archive = test::ReadFile(Encode(content, tool));
    test::WriteFile(dir_ / "cut.lzma", archive.substr(0, archive.size() / 2));
    const TRun cut = Decode(dir_ / "cut.lzma", dir_ / "out.bin");
    EXPECT_TRUE(cut.Error);
    EXPECT_EQ(cut.Message, "Error in data stream.");
    for (std::size_t at : {std::size_t{20}, archive.size() / 3, archive.size() - 5}) {
      std::string flipped = archive;
      flipped[at] = static_cast<char>(flipped[at] ^ 0x55);
      test::WriteFile(dir_ / "flipped.lzma", flipped);
      const TRun run = Decode(dir_ / "flipped.lzma", dir_ / "out.bin");
      if (run.Error) {
        EXPECT_EQ(run.Message, "Error in data stream.");
      } else {
        EXPECT_FALSE(test::ReadFile(dir_ / "out.bin") == content)
            << "a flipped byte went unnoticed at " << at;
      }
    }
  }
}

TEST_F(Unpack, AHugeDictionaryForASmallFileDoesNotReserveIt) {
  // 2 GiB - 1 of dictionary announced for ten bytes of output: decoded with a small window.
  const std::string archive = test::ReadFile(Encode("0123456789", "lzma_alone"));
  std::string patched = Header(0x5d, 0x7FFFFFFFu, 10) + archive.substr(13);
  test::WriteFile(dir_ / "dict.lzma", patched);
  const TRun run = Decode(dir_ / "dict.lzma", dir_ / "out.bin");
  EXPECT_FALSE(run.Error) << run.Message;
  EXPECT_EQ(test::ReadFile(dir_ / "out.bin"), "0123456789");
}

}  // namespace
}  // namespace kova

namespace kova {
namespace {

TEST_F(Unpack, UnpacksFilesOfMoreThanTwoGibibytes) {
  constexpr std::uint64_t kSize = 2'300'000'000ull;
  const std::string archive = dir_ / "zeros.lzma";
  test::TChild xz("/bin/sh",
                  {"-c", "head -c " + std::to_string(kSize) +
                             " /dev/zero | xz --format=lzma -0 -T1 > '" + archive + "'"});
  ASSERT_EQ(xz.WaitExit(300), 0);
  // Give the archive its size, so the end marker stands exactly at a known size past 2 GiB.
  std::string bytes = test::ReadFile(archive);
  for (int i = 0; i < 8; ++i)
    bytes[5 + static_cast<std::size_t>(i)] = static_cast<char>(kSize >> (8 * i));
  test::WriteFile(archive, bytes);
  const TRun run = Decode(archive, dir_ / "big.bin");
  EXPECT_FALSE(run.Error) << run.Message;
  EXPECT_EQ(std::filesystem::file_size(dir_ / "big.bin"), kSize);
  ASSERT_FALSE(run.Reports.empty());
  EXPECT_EQ(run.Reports.front(),
            (std::pair<std::int64_t, std::int64_t>{0, static_cast<std::int64_t>(kSize)}));
  EXPECT_EQ(run.Reports.back().first, static_cast<std::int64_t>(kSize));
  std::filesystem::remove(dir_ / "big.bin");
}

}  // namespace
}  // namespace kova
