// File-name masks as the check options use them.

#include "core/mask.h"

#include <gtest/gtest.h>

namespace kova {
namespace {

struct TMatchCase {
  const char* Mask;
  const char* Name;
  bool Matches;
};

class MaskMatching : public ::testing::TestWithParam<TMatchCase> {};

TEST_P(MaskMatching, DecidesLikeTheWholeNamePattern) {
  const TMatchCase& c = GetParam();
  EXPECT_EQ(TMask(c.Mask).Matches(c.Name), c.Matches) << c.Mask << " vs " << c.Name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MaskMatching,
    ::testing::Values(TMatchCase{"*.exe", "GAME.EXE", true},
                      TMatchCase{"*.dat", "a.dat.bak", false}, TMatchCase{"*.dat", "a.dat", true},
                      TMatchCase{"*?x", "x", true}, TMatchCase{"?x", "x", false},
                      TMatchCase{"?x", "ax", true}, TMatchCase{"[a-c]*", "B1", true},
                      TMatchCase{"[!a-c]*", "b1", false}, TMatchCase{"[!a-c]*", "d1", true},
                      TMatchCase{"[abc]", "C", true}, TMatchCase{"[c-a]x", "bx", false},
                      TMatchCase{"data\\*", "Data\\sub\\f.bin", true},
                      TMatchCase{"data\\*", "data", false}, TMatchCase{"*", "", true},
                      TMatchCase{"", "", true}, TMatchCase{"", "a", false},
                      TMatchCase{"a*b*c", "aXbYbZc", true}, TMatchCase{"a*b*c", "aXbYbZ", false},
                      TMatchCase{"***", "anything", true}, TMatchCase{"*.*", "noext", false},
                      TMatchCase{"\xE9*", "\xC9x", false}, TMatchCase{"\xE9*", "\xE9x", true},
                      TMatchCase{"?", "", false}, TMatchCase{"*a", "aaaa", true},
                      TMatchCase{"[a-]x", "-x", true}, TMatchCase{"[a-]x", "Ax", true},
                      TMatchCase{"[a-]x", "bx", false}));

TEST(Mask, InvalidMasksRaiseWithTheTextAndPosition) {
  auto message = [](const std::string& mask) -> std::string {
    try {
      TMask m(mask);
    } catch (const EMaskError& e) {
      return e.what();
    }
    return "(valid)";
  };
  EXPECT_EQ(message("[]"), "'[]' is an invalid mask at (2)");
  EXPECT_EQ(message("[!]"), "'[!]' is an invalid mask at (3)");
  EXPECT_EQ(message("a[bc"), "'a[bc' is an invalid mask at (5)");
  EXPECT_EQ(message("[-a]"), "'[-a]' is an invalid mask at (2)");
  EXPECT_EQ(message("[a-"), "'[a-' is an invalid mask at (4)");
  EXPECT_EQ(message("[-]"), "'[-]' is an invalid mask at (2)");
  // Thirty states after "*" are allowed, the thirty-first is not (the end counts as one).
  std::string ok, bad;
  for (int i = 0; i < 29; ++i) ok += "*a";
  ok += "*";
  EXPECT_EQ(message(ok), "(valid)");
  for (int i = 0; i < 31; ++i) bad += "*a";
  EXPECT_EQ(message(bad), "'" + bad + "' is an invalid mask at (62)");
}

TEST(Mask, LengthAndNumberOfMasksAreBounded) {
  EXPECT_NO_THROW(TMask(std::string(TMask::kMaxLength, 'a')));
  EXPECT_THROW(TMask(std::string(TMask::kMaxLength + 1, 'a')), EMaskError);
  // A mask that would make a backtracking matcher try every split: thirty stars over long names.
  std::string mask;
  for (int i = 0; i < 29; ++i) mask += "*a";
  mask += std::string(200, 'a') + "b";
  const std::string name(4096, 'a');
  for (int i = 0; i < 100; ++i) EXPECT_FALSE(TMask(mask).Matches(name));
}

TEST(Mask, ManyStarsStayFastOnLongNames) {
  std::string mask;
  for (int i = 0; i < 14; ++i) mask += "*a";
  mask += "*b";
  const std::string name(20000, 'a');
  EXPECT_FALSE(TMask(mask).Matches(name));  // a backtracking matcher would never finish
}

TEST(Mask, PairKeepsTheWrittenText) {
  TMaskPair pair("*.DLL");
  EXPECT_EQ(pair.MaskText, "*.DLL");
  EXPECT_TRUE(pair.Matches("bin\\x.dll"));
}

}  // namespace
}  // namespace kova
