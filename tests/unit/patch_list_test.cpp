// The patch list document, its safety rules for names, and its cache in the settings store.

#include "core/patch_list.h"

#include <gtest/gtest.h>

#include <set>

#include "core/options.h"
#include "xml/xml_document.h"

namespace kova {
namespace {

class TMap {
 public:
  ~TMap() { map.Clear(true); }
  TPatchMap map;
};

void Load(TPatchMap& map, const std::string& text) {
  TMemoryStream stream(text);
  LoadPatchList(stream, map);
}

std::string Entry(const std::string& name, const std::string& original = "1a2b",
                  const std::string& size = "10", const std::string& checksum = "FFFFFFFF") {
  return "<archive filename=\"" + name + "\" original=\"" + original + "\" size=\"" + size +
         "\" checksum=\"" + checksum + "\"/>";
}

TEST(PatchListDocument, ReadsRecordsForTargetAndArchive) {
  TMap m;
  Load(m.map, "<?xml version=\"1.0\"?><list>" +
                  Entry("data\\x.dat", "0001A2B", "3000000000", "deadBEEF") +
                  "<!-- c --><other filename='y'/>text</list>");
  ASSERT_EQ(m.map.Count(), 1u);
  const TPatchItem* item = m.map.Get("DATA\\X.DAT");
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->FileName, "data\\x.dat.lzma");
  EXPECT_EQ(item->Checksum, 0xDEADBEEFu);
  EXPECT_EQ(item->Size, 0);
  EXPECT_EQ(item->FileItem->FileName, "data\\x.dat");
  EXPECT_EQ(item->FileItem->Checksum, 0x1A2Bu);
  EXPECT_EQ(item->FileItem->Size, 3000000000);
  EXPECT_EQ(item->FileItem->FileDate, 0);
}

TEST(PatchListDocument, MissingOrEmptyListGivesNoRecords) {
  for (const char* text : {"", "<files/>", "<list/>",
                           "<List>" /* case matters */ "</List>",
                           "<x><archive filename='a' original='1' size='1' checksum='1'/></x>"}) {
    TMap m;
    Load(m.map, text);
    EXPECT_EQ(m.map.Count(), 0u) << text;
  }
}

TEST(PatchListDocument, TwoNamesDifferingOnlyInCaseAreRefusedButARepeatedNameKeepsTheLater) {
  TMap refused;
  EXPECT_THROW(Load(refused.map,
                    "<list>" + Entry("Data\\A.dat", "1") + Entry("data\\a.dat", "2") + "</list>"),
               EPatchListError);
  TMap m;
  Load(m.map, "<list>" + Entry("data\\a.dat", "1") + Entry("data\\a.dat", "2") + "</list>");
  ASSERT_EQ(m.map.Count(), 1u);
  EXPECT_EQ(m.map.Get("data\\a.dat")->FileItem->Checksum, 2u);
}

TEST(PatchListDocument, RejectsBadNumbersAndKeepsEarlierRecords) {
  const std::vector<std::string> bad = {
      "<archive filename='b' size='1' checksum='1'/>",
      "<archive filename='b' original='1' checksum='1'/>",
      "<archive filename='b' original='1' size='1'/>", Entry("b", "0x1A"), Entry("b", "1G"),
      Entry("b", "123456789"), Entry("b", ""), Entry("b", "1", "ten"), Entry("b", "1", "-5"),
      Entry("b", "1", "9223372036854775808"),
      // Sizes no disk holds, whose sums would overflow.
      Entry("b", "1", "9223372036854775807"), Entry("b", "1", "4611686018427387904"),
      Entry("b", "1", "1099511627777"), Entry("b", "1", "1", "0xFF"),
      Entry("b", "1", "1", "FFFFFFFFF")};
  for (const std::string& archive : bad) {
    TMap m;
    EXPECT_THROW(Load(m.map, "<list>" + Entry("a") + archive + Entry("c") + "</list>"),
                 EPatchListError)
        << archive;
    EXPECT_EQ(m.map.Count(), 1u);
    EXPECT_TRUE(m.map.Contains("a"));
  }
  TMap m;
  EXPECT_THROW(Load(m.map, "<list>" + Entry("a") + "<archive filename='b' size=7/></list>"),
               EXmlError);
}

TEST(PatchListDocument, RefusesNamesThatLeaveTheGameFolder) {
  const std::vector<std::string> hostile = {
      "", "..\\x", "a\\..\\..\\x", "a/../x", "..", "/x", "\\x", "C:\\x", "C:x", "\\\\srv\\share\\x",
      "\\\\?\\C:\\x", "a|b", "dir\\", std::string(4097, 'n'), ".", "sub\\.", ".\\x", "a\rb", "a\nb",
      "a\x1b[2Jb", "a\tb", "a\x7f",
      // What Windows cannot hold: refused everywhere, so
      // that a publication means the same on both.
      "CON", "data\\nul.txt", "Com1.tar.gz", "lpt9", "aux \\x", "evil.txt.", "dir.\\x", "x ", "a:b",
      "file.txt:stream", "a>b", "what?.cfg", "*.dat", "a\\\\b"};
  for (const std::string& name : hostile) {
    EXPECT_FALSE(IsSafeRelativeName(name)) << name;
    TMap m;
    EXPECT_THROW(Load(m.map, "<list>" + Entry(name) + "</list>"), EPatchListError) << name;
  }
  EXPECT_FALSE(IsSafeRelativeName(std::string("a\0b", 3)));
  for (const char* name : {"a<b", "a\"b"}) EXPECT_FALSE(IsSafeRelativeName(name)) << name;
  for (const char* fine : {"x", "a\\b\\c.dat", "..x", ".x", "dir.with.dots\\f", "caf\xE9 #1",
                           "console.txt", "com10", "lpt", "nul_\\x", "a b"}) {
    EXPECT_TRUE(IsSafeRelativeName(fine)) << fine;
  }
  EXPECT_TRUE(IsSafeRelativeName(std::string(4096, 'n')));
  TMap m;
  EXPECT_THROW(Load(m.map, "<list><archive original='1' size='1' checksum='1'/></list>"),
               EPatchListError);
}

TEST(PatchListCacheValue, FormatsArchiveChecksumBeforeTheTargets) {
  TFileItem target;
  target.FileName = "data\\x.dat";
  target.Checksum = 0x1A2B;
  target.Size = 5000000000;
  target.FileDate = -1;
  TPatchItem item(target);
  item.Checksum = 0xBEEF;
  EXPECT_EQ(FormatCacheValue(item), "archive|data\\x.dat|0000BEEF|00001A2B|5000000000|-1");
  auto back = ParseCacheValue(FormatCacheValue(item));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->FileName, "data\\x.dat.lzma");
  EXPECT_EQ(back->Checksum, 0xBEEFu);
  EXPECT_EQ(back->FileItem->Size, 5000000000);
  EXPECT_EQ(back->FileItem->FileDate, -1);
}

TEST(PatchListCacheValue, SkipsValuesThatAreNoRecord) {
  EXPECT_NE(ParseCacheValue("ARCHIVE|a|00000001|00000002|3|4"), nullptr);
  for (const char* bad :
       {"", "file|a|00000001|00000002|3|4", "archive|a|1|2|3", "archive|a|1|2|3|4|5",
        "archive|a|XYZ|2|3|4", "archive|a|1|2|big|4", "archive|a|1|2|3|99999999999",
        "archive|..\\a|1|2|3|4", "archive||1|2|3|4", "archive|a|1|2|9223372036854775807|4"}) {
    EXPECT_EQ(ParseCacheValue(bad), nullptr) << bad;
  }
}

TEST(PatchItem, CopyingBetweenPatchRecordsCopiesOnlyTheTarget) {
  TFileItem t1;
  t1.FileName = "one";
  t1.Checksum = 1;
  TPatchItem a(t1);
  a.FileName = "one.lzma";
  a.Checksum = 11;
  TFileItem t2;
  t2.FileName = "two";
  t2.Size = 2;
  t2.FileDate = 22;
  TPatchItem b(t2);
  b.FileName = "two.lzma";
  a.Assign(b);
  EXPECT_EQ(a.FileName, "one.lzma");
  EXPECT_EQ(a.Checksum, 11u);
  EXPECT_EQ(a.FileItem->FileName, "two");
  EXPECT_EQ(a.FileItem->FileDate, 22);
  t1.Assign(t2);
  EXPECT_EQ(t1.FileName, "two");
  EXPECT_EQ(t1.Size, 2);
}

class PatchListCache : public ::testing::Test {
 protected:
  void SetUp() override {
    prefix_ = std::string(kRegistryPath) + "cache-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name() + "\\PatchList\\";
    RegDeleteKeyPath(kHkeyCurrentUser, prefix_.substr(0, prefix_.size() - 1));
  }
  std::string prefix_;
};

TEST_F(PatchListCache, SavesInIterationOrderAndLoadsTheSameMap) {
  TMap source;
  std::string doc = "<list>";
  for (int i = 0; i < 40; ++i)
    doc += Entry("dir\\file" + std::to_string(i) + ".bin", "ABC" + std::to_string(i),
                 std::to_string(i * 1000));
  Load(source.map, doc + "</list>");
  source.map.Get("dir\\file7.bin")->FileItem->FileDate = -1;
  SavePatchListCache(kHkeyCurrentUser, prefix_, source.map);

  std::vector<std::string> names;
  ASSERT_TRUE(RegListValueNames(kHkeyCurrentUser, prefix_.substr(0, prefix_.size() - 1), names));
  ASSERT_EQ(names.size(), 40u);
  // "1" to "40"; a registry may enumerate them by name rather than in storing order.
  std::set<std::string> expected;
  for (int i = 1; i <= 40; ++i) expected.insert(std::to_string(i));
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), expected);
  std::string first;
  RegReadString(kHkeyCurrentUser, prefix_ + "1", first);
  EXPECT_EQ(first, FormatCacheValue(*source.map.Iterate()->CurrentValue()));

  TMap loaded;
  LoadPatchListCache(kHkeyCurrentUser, prefix_, loaded.map);
  auto a = source.map.Iterate();
  auto b = loaded.map.Iterate();
  for (; a->CurrentValue(); a->Next(), b->Next()) {
    ASSERT_NE(b->CurrentValue(), nullptr);
    EXPECT_EQ(FormatCacheValue(*a->CurrentValue()), FormatCacheValue(*b->CurrentValue()));
  }
  EXPECT_EQ(b->CurrentValue(), nullptr);
  EXPECT_EQ(loaded.map.Get("dir\\file7.bin")->FileItem->FileDate, -1);
}

TEST_F(PatchListCache, MissingKeyAddsNothingAndForeignValuesAreSkipped) {
  TMap none;
  LoadPatchListCache(kHkeyCurrentUser, prefix_, none.map);
  EXPECT_EQ(none.map.Count(), 0u);
  RegWriteString(kHkeyCurrentUser, prefix_ + "1", "ARCHIVE|a.dat|00000001|00000002|3|4");
  RegWriteString(kHkeyCurrentUser, prefix_ + "2", "folder|b|00000001|00000002|3|4");
  RegWriteString(kHkeyCurrentUser, prefix_ + "3", "archive|..\\..\\evil|00000001|00000002|3|4");
  RegWriteString(kHkeyCurrentUser, prefix_ + "4", "");
  TMap m;
  LoadPatchListCache(kHkeyCurrentUser, prefix_, m.map);
  ASSERT_EQ(m.map.Count(), 1u);
  EXPECT_EQ(m.map.Get("a.dat")->FileItem->FileDate, 4);
}

}  // namespace
}  // namespace kova
