// The skin's rules: shading colours, the window outline, sprite frames, bar lengths and the
// sprite button's states, checked without a display.

#include "ui/skin.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/resources.h"
#include "tests/common/temp_dir.h"

namespace kova::ui {
namespace {

TImage Solid(int width, int height, TRgb colour, bool alpha = false) {
  TImage image;
  image.Width = width;
  image.Height = height;
  image.HasAlpha = alpha;
  for (int i = 0; i < width * height; ++i)
    image.Rgba.insert(image.Rgba.end(), {colour.R, colour.G, colour.B, 200});
  return image;
}

void Paint(TImage& image, int x, int y, TRgb c) {
  std::uint8_t* p = &image.Rgba[(static_cast<std::size_t>(y) * image.Width + x) * 4];
  p[0] = c.R;
  p[1] = c.G;
  p[2] = c.B;
}

TEST(Shading, RunsFromTheFirstColourToTheLastWithRoundedSteps) {
  const TRgb first{151, 66, 69}, last{151, 66, 53};
  EXPECT_EQ(GradientColor(first, last, 1, 429), first);
  EXPECT_EQ(GradientColor(first, last, 429, 429), last);
  // MulDiv(214, -16, 428) = -8 exactly; column 28: 27 x -16 / 428 = -1.009 -> -1.
  EXPECT_EQ(GradientColor(first, last, 215, 429), (TRgb{151, 66, 61}));
  EXPECT_EQ(GradientColor(first, last, 28, 429), (TRgb{151, 66, 68}));
  // Halves round away from zero in both directions.
  EXPECT_EQ(MulDiv(1, 1, 2), 1);
  EXPECT_EQ(MulDiv(-1, 1, 2), -1);
  EXPECT_EQ(MulDiv(3, 5, 10), 2);
  // Equal colours give a uniform bar; only the low eight bits of a channel are kept.
  EXPECT_EQ(GradientColor({62, 91, 150}, {62, 91, 150}, 300, 429), (TRgb{62, 91, 150}));
  EXPECT_EQ(GradientColor({255, 0, 0}, {255, 0, 0}, 1, 1), (TRgb{255, 0, 0}));
  for (int bad : {0, 430}) {
    try {
      GradientColor(first, last, bad, 429);
      ADD_FAILURE() << bad << " was accepted";
    } catch (const std::out_of_range& e) {
      EXPECT_STREQ(e.what(), "ColorIndex can't be less than 1 or greater than 429");
    }
  }
}

TEST(WindowOutline, IsOneRectanglePerRunOfNonKeyPixels) {
  const TRgb lime{0, 255, 0}, dark{10, 20, 30};
  TImage image = Solid(6, 3, dark);
  Paint(image, 0, 0, lime);
  Paint(image, 3, 0, lime);
  Paint(image, 5, 1, lime);
  for (int x = 0; x < 6; ++x) Paint(image, x, 2, lime);
  const std::vector<TRect> expected{{1, 0, 3, 1}, {4, 0, 6, 1}, {0, 1, 5, 2}};
  EXPECT_EQ(BuildRegion(image, lime), expected);
  // Without a key pixel the window is one run per row; with only key pixels there is none.
  EXPECT_EQ(BuildRegion(Solid(4, 2, dark), lime).size(), 2u);
  EXPECT_TRUE(BuildRegion(Solid(4, 2, lime), lime).empty());
}

TEST(SpriteFrames, AreCutLeftToRightDroppingTheRemainder) {
  TImage sprite = Solid(10, 2, {1, 2, 3}, true);
  for (int x = 0; x < 10; ++x) Paint(sprite, x, 1, {static_cast<std::uint8_t>(x), 0, 0});
  const std::vector<TImage> frames = SliceImage(sprite, 4, 1);
  ASSERT_EQ(frames.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(frames[i].Width, 2);
    EXPECT_EQ(frames[i].Height, 2);
    EXPECT_TRUE(frames[i].HasAlpha);
    EXPECT_EQ(frames[i].Colour(1, 1), (TRgb{static_cast<std::uint8_t>(i * 2 + 1), 0, 0}));
    EXPECT_EQ(frames[i].Pixel(0, 0)[3], 200);
  }
  // A sprite without alpha gives opaque frames.
  EXPECT_EQ(SliceImage(Solid(8, 1, {1, 1, 1}), 4, 1)[2].Pixel(0, 0)[3], 255);
}

TEST(BarLength, IsProportionalAndRoundsHalvesToEven) {
  EXPECT_EQ(FilledLength(0, 429, 0, 429), 0);
  EXPECT_EQ(FilledLength(0, 429, 429, 429), 429);
  EXPECT_EQ(FilledLength(0, 429, 200, 429), 200);
  EXPECT_EQ(FilledLength(0, 4, 1, 10), 2);  // 2.5 -> 2
  EXPECT_EQ(FilledLength(0, 4, 3, 10), 8);  // 7.5 -> 8
  EXPECT_EQ(FilledLength(5, 5, 5, 10), 0);  // no range
  EXPECT_EQ(FilledLength(10, 20, 5, 10), 0);
}

TEST(SpriteButton, FollowsThePressDragOffAndReleaseRules) {
  TButtonState b;
  bool clicked = false;
  // Hover, press, release inside: one click, back to the hover frame.
  EXPECT_TRUE(b.Enter());
  EXPECT_EQ(b.Frame(), 1);
  EXPECT_TRUE(b.Press(true, false));
  EXPECT_EQ(b.Frame(), 2);
  EXPECT_TRUE(b.Captured());
  EXPECT_TRUE(b.Release(true, true, clicked));
  EXPECT_TRUE(clicked);
  EXPECT_EQ(b.Frame(), 1);
  // Dragged off while held: the normal frame, and a release outside clicks nothing.
  b.Press(true, false);
  b.Leave();
  EXPECT_EQ(b.Frame(), 0);
  b.Release(true, false, clicked);
  EXPECT_FALSE(clicked);
  // Moved back on before the release: pressed again, and the release clicks.
  b.Press(true, false);
  b.Leave();
  b.Enter();
  EXPECT_EQ(b.Frame(), 2);
  b.Release(true, true, clicked);
  EXPECT_TRUE(clicked);
  // Another mouse button presses nothing; its release while held lifts the button unclicked.
  EXPECT_FALSE(b.Press(false, false));
  b.Press(true, false);
  EXPECT_TRUE(b.Release(false, true, clicked));
  EXPECT_FALSE(clicked);
  EXPECT_EQ(b.State(), TButtonState::TState::Up);
  // The second press of a double click gives no second click.
  b.Press(true, true);
  b.Release(true, true, clicked);
  EXPECT_FALSE(clicked);
}

TEST(SpriteButton, DisabledShowsItsFrameAndIgnoresTheMouse) {
  TButtonState b;
  b.Enter();
  b.SetEnabled(false);
  EXPECT_EQ(b.Frame(), 3);
  EXPECT_FALSE(b.Enter());
  EXPECT_FALSE(b.Leave());
  EXPECT_FALSE(b.Press(true, false));
  bool clicked = true;
  EXPECT_FALSE(b.Release(true, true, clicked));
  EXPECT_FALSE(clicked);
  // The pointer-over flag survives the change of the enabled state.
  b.SetEnabled(true);
  EXPECT_TRUE(b.PointerOver());
  EXPECT_EQ(b.Frame(), 1);
}

TEST(SkinImages, TheBuiltInArtHasTheSizesAndFormatsOfTheWindow) {
  struct TCase {
    const char* Name;
    int Width, Height;
    bool Alpha;
  };
  for (const TCase& c : {TCase{"BACKGROUND", 800, 600, true}, TCase{"START", 380, 92, false},
                         TCase{"CHECK", 404, 27, false}, TCase{"CANCEL", 404, 27, false},
                         TCase{"MINIMIZE", 80, 20, false}, TCase{"CLOSE", 80, 20, false}}) {
    const TImage image = ResourceImage(c.Name);
    EXPECT_EQ(image.Width, c.Width) << c.Name;
    EXPECT_EQ(image.Height, c.Height) << c.Name;
    EXPECT_EQ(image.HasAlpha, c.Alpha) << c.Name;
    if (!c.Alpha) {
      // The four frames must differ from each other: normal, hover, pressed, disabled.
      const std::vector<TImage> frames = SliceImage(image, 4, 1);
      for (int i = 0; i < 4; ++i) {
        for (int j = i + 1; j < 4; ++j)
          EXPECT_NE(frames[i].Rgba, frames[j].Rgba) << c.Name << " " << i << " " << j;
      }
    }
  }
  // The background is practically opaque and has no pixel of the key colour.
  const TImage background = ResourceImage("BACKGROUND");
  EXPECT_EQ(BuildRegion(background, {0, 255, 0}).size(), 600u);
  for (std::size_t i = 3; i < background.Rgba.size(); i += 4) ASSERT_GE(background.Rgba[i], 250);
  EXPECT_THROW(ResourceImage("NOSUCH"), std::runtime_error);
}

TEST(PngDecoding, RefusesWhatIsNotACompleteImage) {
  EXPECT_THROW(DecodePng(""), std::runtime_error);
  EXPECT_THROW(DecodePng("GIF89a........"), std::runtime_error);
  std::string_view data;
  ASSERT_TRUE(platform::FindResourceData("START", data));
  EXPECT_THROW(DecodePng(data.substr(0, data.size() / 2)), std::runtime_error);
  std::string damaged(data);
  damaged[damaged.size() / 2] ^= 0x55;  // a broken compressed stream or checksum
  EXPECT_THROW(DecodePng(damaged), std::runtime_error);
}

}  // namespace
}  // namespace kova::ui
