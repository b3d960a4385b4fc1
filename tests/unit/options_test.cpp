// The options document read over the options object, and the state kept in the settings store.

#include "core/options.h"

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/settings_store.h"
#include "xml/xml_document.h"

namespace kova {
namespace {

void Load(TOptions& options, const std::string& text) {
  TMemoryStream stream(text);
  options.LoadFromStream(stream);
}

std::vector<std::string> MaskTexts(const TMaskList& list) {
  std::vector<std::string> out;
  for (const auto& m : list) out.push_back(m->MaskText);
  return out;
}

TEST(OptionsDocument, ReadsEveryField) {
  TOptions o;
  Load(o,
       "<?xml version=\"1.0\"?>\n"
       "<options>\n"
       "  <uid>game-1</uid><title>My Game</title>\n"
       "  <options>http://h/opt.xml</options><news>http://h/news</news>\n"
       "  <patchlist>http://h/patchlist.xml</patchlist><updater>http://h/up.exe</updater>\n"
       "  <full_check days=\"3\"><reload_patchlist/></full_check>\n"
       "  <restore_homedir/>\n"
       "  <run><program>bin\\game.exe</program><params>-window "
       "-fast</params><allow_multiple_run/></run>\n"
       "  <hard_check><mask>*.exe</mask><mask>*.dll</mask></hard_check>\n"
       "  <soft_check><mask>*.cfg</mask></soft_check>\n"
       "</options>");
  EXPECT_EQ(o.Uid, "game-1");
  EXPECT_EQ(o.Title, "My Game");
  EXPECT_EQ(o.OptionsUrl, "http://h/opt.xml");
  EXPECT_EQ(o.NewsUrl, "http://h/news");
  EXPECT_EQ(o.PatchListUrl, "http://h/patchlist.xml");
  EXPECT_EQ(o.UpdaterUrl, "http://h/up.exe");
  EXPECT_EQ(o.FullCheckDays, 3);
  EXPECT_TRUE(o.ReloadPatchList());
  EXPECT_TRUE(o.RestoreHomeDir());
  EXPECT_TRUE(o.CloseUpdater());
  EXPECT_TRUE(o.AllowMultipleRun());
  EXPECT_EQ(o.Flags, 15);
  EXPECT_EQ(o.RunProgram, "bin\\game.exe");
  EXPECT_EQ(o.RunParams, "-window -fast");
  EXPECT_EQ(MaskTexts(o.HardCheckMasks), (std::vector<std::string>{"*.exe", "*.dll"}));
  EXPECT_EQ(MaskTexts(o.SoftCheckMasks), (std::vector<std::string>{"*.cfg"}));
}

TEST(OptionsDocument, WithoutAnOptionsRootEverythingKeepsItsDefault) {
  for (const char* text :
       {"", "<other><uid>x</uid></other>", "<Options><uid>x</uid></Options>", "<options/>"}) {
    TOptions o;
    Load(o, text);
    EXPECT_EQ(o.Uid, "");
    EXPECT_EQ(o.FullCheckDays, 7);
    EXPECT_EQ(o.Flags, ofCloseUpdater);
  }
}

TEST(OptionsDocument, ElementNamesAreCaseSensitive) {
  TOptions o;
  Load(o, "<options><UID>x</UID><Title>t</Title><title>real</title></options>");
  EXPECT_EQ(o.Uid, "");
  EXPECT_EQ(o.Title, "real");
}

TEST(OptionsDocument, RepeatedElementsOverwriteStringsAndReplaceMaskLists) {
  TOptions o;
  Load(o,
       "<options><uid>a</uid><uid>b</uid>"
       "<hard_check><mask>*.a</mask></hard_check><hard_check><mask>*.b</mask><mask>*.c</mask></"
       "hard_check>"
       "<soft_check><mask>*.x</mask></soft_check><soft_check/>"
       "<full_check days='2'/><full_check days='9'/></options>");
  EXPECT_EQ(o.Uid, "b");
  EXPECT_EQ(MaskTexts(o.HardCheckMasks), (std::vector<std::string>{"*.b", "*.c"}));
  EXPECT_TRUE(o.SoftCheckMasks.empty());
  EXPECT_EQ(o.FullCheckDays, 9);
}

TEST(OptionsDocument, AnAddressNamedAgainIsAMirrorAndTheNextDocumentsFirstReplacesThemAll) {
  TOptions o;
  Load(o,
       "<options><patchlist>http://a/l.xml</patchlist><updater sha256='x'>http://a/u</updater>"
       "<patchlist>http://b/l.xml</patchlist><patchlist>http://c/l.xml</patchlist>"
       "<updater serial='7'>http://b/u</updater></options>");
  EXPECT_EQ(o.PatchListUrl, "http://a/l.xml");
  EXPECT_EQ(o.PatchListMirrors, (std::vector<std::string>{"http://b/l.xml", "http://c/l.xml"}));
  EXPECT_EQ(o.UpdaterMirrors, (std::vector<std::string>{"http://b/u"}));
  EXPECT_EQ(o.UpdaterSerial, -1);  // the first element's attributes hold
  Load(o, "<options><patchlist>http://d/l.xml</patchlist></options>");
  EXPECT_EQ(o.PatchListUrl, "http://d/l.xml");
  EXPECT_TRUE(o.PatchListMirrors.empty());
  EXPECT_EQ(o.UpdaterUrl, "http://a/u");
  // The game published in zstd as well: taken before or after the LZMA one, with its mirrors.
  for (const char* document :
       {"<options><patchlist>http://d/l.xml</patchlist><patchlist_zstd>http://z/l.xml"
        "</patchlist_zstd><patchlist_zstd>http://y/l.xml</patchlist_zstd></options>",
        "<options><patchlist_zstd>http://z/l.xml</patchlist_zstd><patchlist>http://d/l.xml"
        "</patchlist><patchlist_zstd>http://y/l.xml</patchlist_zstd></options>"}) {
    Load(o, document);
    EXPECT_EQ(o.PatchListUrl, "http://z/l.xml");
    EXPECT_EQ(o.PatchListMirrors, std::vector<std::string>{"http://y/l.xml"});
  }
}

TEST(OptionsDocument, ASecondDocumentKeepsWhatItDoesNotMention) {
  TOptions o;
  Load(o,
       "<options><run><program>g.exe</program><params>-x</params><allow_multiple_run/></run>"
       "<full_check><reload_patchlist/></full_check><hard_check><mask>*.exe</mask></hard_check></"
       "options>");
  Load(o, "<options><uid>next</uid><full_check days='1'/></options>");
  EXPECT_EQ(o.RunProgram, "g.exe");
  EXPECT_EQ(o.RunParams, "-x");
  EXPECT_TRUE(o.AllowMultipleRun());
  EXPECT_TRUE(o.ReloadPatchList());  // flags accumulate and are never cleared by reading
  EXPECT_EQ(MaskTexts(o.HardCheckMasks), (std::vector<std::string>{"*.exe"}));
  EXPECT_EQ(o.Uid, "next");
  EXPECT_EQ(o.FullCheckDays, 1);
}

TEST(OptionsDocument, FullCheckWithoutDaysKeepsTheNumber) {
  TOptions o;
  Load(o, "<options><full_check days='-1'/><full_check/></options>");
  EXPECT_EQ(o.FullCheckDays, -1);
}

TEST(OptionsDocument, ValuesOnTheirOwnIndentedLinesKeepTheLineBreaks) {
  TOptions o;
  Load(o,
       "<options>\n  <patchlist>\n    http://h/p.xml\n  </patchlist>\n  <title>A <b>bold</b> "
       "name</title>\n</options>");
  EXPECT_EQ(o.PatchListUrl, "\n    http://h/p.xml\n  ");
  EXPECT_EQ(o.Title, "A  bold  name");
}

TEST(OptionsDocument, FaultsRaiseButKeepWhatWasReadBefore) {
  TOptions o;
  EXPECT_THROW(Load(o, "<options><uid>u</uid><full_check days='often'/><title>t</title></options>"),
               EConvertError);
  EXPECT_EQ(o.Uid, "u");
  EXPECT_EQ(o.Title, "");
  TOptions m;
  EXPECT_THROW(Load(m, "<options><uid>v</uid><hard_check><mask>[]</mask></hard_check></options>"),
               EMaskError);
  EXPECT_EQ(m.Uid, "v");
  TOptions x;
  EXPECT_THROW(Load(x, "<options><uid>w</uid><title>"), EXmlError);
  // More masks than a list may hold fail the document.
  std::string masks;
  for (std::size_t i = 0; i <= kMaxMasks; ++i) masks += "<mask>*.x" + std::to_string(i) + "</mask>";
  TOptions big;
  EXPECT_THROW(Load(big, "<options><hard_check>" + masks + "</hard_check></options>"), EMaskError);
  // A trailing "-" in a set is a member, not a fault that would drop the rest of the document.
  TOptions d;
  Load(d,
       "<options><soft_check><mask>save[0-9a-]*</mask></soft_check><run><program>g</program></"
       "run></options>");
  EXPECT_EQ(d.RunProgram, "g");
  ASSERT_EQ(d.SoftCheckMasks.size(), 1u);
  EXPECT_TRUE(d.SoftCheckMasks[0]->Matches("save-1.dat"));
}

class UpdaterOptionsStore : public ::testing::Test {
 protected:
  void SetUp() override {
    uid_ = std::string("test-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    TUpdaterOptions cleaner(kHkeyCurrentUser, kRegistryPath);
    cleaner.Uid = uid_;
    cleaner.CleanSettings();
  }
  std::unique_ptr<TUpdaterOptions> Fresh() {
    auto o = std::make_unique<TUpdaterOptions>(kHkeyCurrentUser, kRegistryPath);
    o->Uid = uid_;
    return o;
  }
  std::string Stored(const std::string& name) {
    std::string text;
    RegReadString(kHkeyCurrentUser, std::string(kRegistryPath) + uid_ + "\\" + name, text);
    return text;
  }
  std::string uid_;
};

TEST_F(UpdaterOptionsStore, SettersWriteAndLoadStateReadsBack) {
  auto o = Fresh();
  EXPECT_EQ(o->SettingsKey(), "Software\\Tessary\\KovaUpdater\\" + uid_);
  o->SetHomeDir("/games/x");
  EXPECT_EQ(o->HomeDir(), "/games/x/");
  const TDateTime update = EncodeDateTime({2024, 3, 9, 14, 5, 7, 0});
  o->SetLastUpdate(update);
  o->SetLastFullCheck(EncodeDateTime({2024, 3, 1, 0, 0, 0, 0}));
  EXPECT_EQ(Stored("HomeDir"), "/games/x/");
  EXPECT_EQ(Stored("LastUpdate"), "09.03.2024 14:05:07");
  EXPECT_EQ(Stored("LastFullCheck"), "01.03.2024");
  auto again = Fresh();
  again->LoadState();
  EXPECT_EQ(again->HomeDir(), "/games/x/");
  EXPECT_TRUE(SameDateTime(again->LastUpdate(), update));
  EXPECT_TRUE(SameDateTime(again->LastFullCheck(), EncodeDateTime({2024, 3, 1, 0, 0, 0, 0})));
}

TEST_F(UpdaterOptionsStore, UnchangedValuesWriteNothing) {
  auto o = Fresh();
  o->SetHomeDir("/g/");
  o->SetLastUpdate(1000.5);
  // Change the stored texts behind the object's back; a setter given the same value must not
  // write them again.
  RegWriteString(kHkeyCurrentUser, o->SettingsKey() + "\\HomeDir", "marker");
  RegWriteString(kHkeyCurrentUser, o->SettingsKey() + "\\LastUpdate", "marker");
  o->SetHomeDir("/g/");
  o->SetLastUpdate(1000.5 + kMillisecondInDays / 2);
  EXPECT_EQ(Stored("HomeDir"), "marker");
  EXPECT_EQ(Stored("LastUpdate"), "marker");
  o->SetLastUpdate(1000.5 + kMillisecondInDays * 2);
  EXPECT_EQ(Stored("LastUpdate"), "26.09.1902 12:00:00");
}

TEST_F(UpdaterOptionsStore, AnEmptyUidNeverTouchesTheStore) {
  TUpdaterOptions o(kHkeyCurrentUser, kRegistryPath);
  o.SetHomeDir("/nowhere");
  o.SetLastUpdate(5000);
  EXPECT_EQ(o.HomeDir(), "/nowhere/");
  EXPECT_EQ(o.LastUpdate(), 5000);
  std::vector<std::string> names;
  EXPECT_FALSE(RegListValueNames(kHkeyCurrentUser, "Software\\Tessary\\KovaUpdater", names) &&
               !names.empty());
  o.CleanSettings();
  o.LoadState();
  EXPECT_EQ(o.HomeDir(), "/nowhere/");
}

TEST_F(UpdaterOptionsStore, ACorruptDateRaisesButTheOtherValuesStillLoad) {
  auto writer = Fresh();
  writer->SetHomeDir("/h");
  RegWriteString(kHkeyCurrentUser, writer->SettingsKey() + "\\LastUpdate", "yesterday");
  writer->SetLastFullCheck(EncodeDateTime({2020, 1, 2, 3, 4, 5, 0}));
  auto o = std::make_unique<TUpdaterOptions>(kHkeyCurrentUser, kRegistryPath);
  o->SetLastUpdate(77);  // no identifier yet: set in memory only
  o->Uid = uid_;
  try {
    o->LoadState();
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'yesterday' is not a valid date and time");
  }
  EXPECT_EQ(o->LastUpdate(), 77);
  EXPECT_EQ(o->HomeDir(), "/h/");
  EXPECT_TRUE(SameDateTime(o->LastFullCheck(), EncodeDateTime({2020, 1, 2, 3, 4, 5, 0})));
}

TEST_F(UpdaterOptionsStore, CleanSettingsRemovesTheKeyWithItsPatchList) {
  auto o = Fresh();
  o->SetHomeDir("/h");
  RegWriteString(kHkeyCurrentUser, o->SettingsKey() + "\\PatchList\\1", "archive|a|0|0|0|0");
  o->CleanSettings();
  std::vector<std::string> names;
  EXPECT_FALSE(RegListValueNames(kHkeyCurrentUser, o->SettingsKey(), names));
  EXPECT_FALSE(RegListValueNames(kHkeyCurrentUser, o->SettingsKey() + "\\PatchList", names));
}

TEST(FullCheck, DueByWholeDaysInEitherDirection) {
  TUpdaterOptions o(kHkeyCurrentUser, kRegistryPath);
  const TDateTime now = EncodeDateTime({2026, 12, 8, 12, 0, 0, 0});
  EXPECT_TRUE(o.IsFullCheckDueAt(now));  // never recorded: over a century ago
  o.SetLastFullCheck(now - 6.99);
  EXPECT_FALSE(o.IsFullCheckDueAt(now));
  o.SetLastFullCheck(now - 7.0);
  EXPECT_TRUE(o.IsFullCheckDueAt(now));
  o.SetLastFullCheck(now + 7.5);  // a clock set back counts as well
  EXPECT_TRUE(o.IsFullCheckDueAt(now));
  o.FullCheckDays = 0;
  EXPECT_FALSE(o.IsFullCheckDueAt(now));
  o.FullCheckDays = -3;
  o.SetLastFullCheck(0);
  EXPECT_FALSE(o.IsFullCheckDueAt(now));
}

TEST(FullCheck, HardAndSoftMasksApplyInListOrder) {
  TUpdaterOptions o(kHkeyCurrentUser, kRegistryPath);
  EXPECT_FALSE(o.IsHardCheck("a.exe"));
  Load(o,
       "<options><hard_check><mask>*.exe</mask><mask>bin\\*</mask></hard_check>"
       "<soft_check><mask>*.CFG</mask></soft_check></options>");
  EXPECT_TRUE(o.IsHardCheck("GAME.EXE"));
  EXPECT_TRUE(o.IsHardCheck("bin\\x.dat"));
  EXPECT_FALSE(o.IsHardCheck("data\\x.dat"));
  EXPECT_TRUE(o.IsSoftCheck("user.cfg"));
  o.ResetDefaults();
  EXPECT_FALSE(o.IsHardCheck("GAME.EXE"));
  EXPECT_EQ(o.Flags, ofCloseUpdater);
}

TEST(DocumentStamp, ASignedDocumentsStampIsReadStrictly) {
  TOptions o;
  auto load = [&o](const std::string& text) {
    TMemoryStream stream(text);
    o.LoadFromStream(stream);
    return StampFits(o.Stamp, "options", "g", 20000);  // day 20000: 2024-10-04
  };
  EXPECT_TRUE(load("<options serial='7' uid='g' expires='2024-10-04'/>"));
  EXPECT_EQ(o.Stamp.Serial, 7);
  for (const char* refused :
       {"<options serial='7' uid='g' expires='2024-10-03'/>",  // expired the day before
        "<options serial='7' uid='g' expires='2024-02-30'/>",  // no such day
        "<options serial='7' uid='g' expires='24-10-04'/>", "<options serial='7' uid='G'/>",
        "<options serial='7'/>", "<options uid='g'/>", "<options serial='-7' uid='g'/>",
        "<options serial='+7' uid='g'/>", "<options serial='9007199254740993' uid='g'/>",
        "<list serial='7' uid='g'/>"})
    EXPECT_FALSE(load(refused)) << refused;
  EXPECT_TRUE(load("<options serial='9007199254740992' uid='g'/>"));
  std::int64_t day = 0;
  for (const char* date : {"1970-01-01", "2000-02-29", "2024-10-04", "2399-12-31"}) {
    ASSERT_TRUE(ParseIsoDay(date, day)) << date;
    EXPECT_EQ(IsoDay(day), date);
  }
  EXPECT_FALSE(ParseIsoDay("1900-02-29", day));
  // The launcher build named in the options: a digest that is no SHA-256 names none.
  load("<options><updater sha256='" + std::string(64, 'a') +
       "' serial='3'>http://h/u</updater></options>");
  EXPECT_EQ(o.UpdaterSha256, std::string(64, 'a'));
  EXPECT_EQ(o.UpdaterSerial, 3);
  load("<options><updater sha256='xyz' serial='x'>http://h/u</updater></options>");
  EXPECT_EQ(o.UpdaterSha256, "");
  EXPECT_EQ(o.UpdaterSerial, -1);
}

TEST(UpdaterOptionsObject, IsCreatedOnceAndFreedOnRequest) {
  TUpdaterOptions& first = UpdaterOptions();
  EXPECT_EQ(&first, &UpdaterOptions());
  EXPECT_EQ(first.RegistryPath, "Software\\Tessary\\KovaUpdater\\");
  FreeUpdaterOptions();
  EXPECT_EQ(UpdaterOptions().Uid, "");
  FreeUpdaterOptions();
}

}  // namespace
}  // namespace kova
