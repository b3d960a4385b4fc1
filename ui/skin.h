#pragma once
// The skin's rules without any drawing system: colour shading, window outline, sprite frames,
// the sprite button's states, the bar's filled length and where the controls lie. Both windows
// paint what these say.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kova::ui {

struct TRgb {
  std::uint8_t R = 0, G = 0, B = 0;
  bool operator==(const TRgb&) const = default;
};

// An 8-bit image, RGBA in memory; `HasAlpha` tells whether the source carried an alpha channel.
struct TImage {
  int Width = 0;
  int Height = 0;
  bool HasAlpha = false;
  std::vector<std::uint8_t> Rgba;
  bool Empty() const { return Width <= 0 || Height <= 0; }
  const std::uint8_t* Pixel(int x, int y) const {
    return &Rgba[(static_cast<std::size_t>(y) * Width + x) * 4];
  }
  TRgb Colour(int x, int y) const {
    const std::uint8_t* p = Pixel(x, y);
    return {p[0], p[1], p[2]};
  }
};

// Decodes a PNG held in memory; raises std::runtime_error on a broken image.
TImage DecodePng(std::string_view data);
// The PNG image among the program's resources; raises when there is none.
TImage ResourceImage(const std::string& name);

// The image as a 24-bit bitmap: its colours without the alpha channel.
TImage ToBitmap24(const TImage& image);

// Multiplies and divides with rounding to the nearest integer, halves away from zero.
int MulDiv(int number, int numerator, int denominator);
// The colour of column `index` (1..count) of a shading from `first` to `last`.
TRgb GradientColor(TRgb first, TRgb last, int index, int count);

struct TRect {
  int Left, Top, Right, Bottom;
  bool operator==(const TRect&) const = default;
};

// Where the window's labels, sprite buttons (23 x 23 until their sprite comes) and bars lie on
// the 800 x 600 background, and their colours.
struct TLabelPlace {
  int Left, Top;
  TRgb Colour;
};
struct TButtonPlace {
  int Left, Top;
};
struct TBarPlace {
  int Left, Top, Width, Height;
  TRgb Colour1, Colour2;
};
inline constexpr TLabelPlace kInfoLabel{127, 512, {94, 127, 143}};
inline constexpr TLabelPlace kLabelA{40, 526, {133, 157, 179}};
inline constexpr TLabelPlace kLabelB{40, 541, {133, 157, 179}};
// Below the bars: what the downloads have done and have left, and why a step failed.
inline constexpr TLabelPlace kTransferLabel{127, 556, {133, 157, 179}};
inline constexpr TLabelPlace kReasonLabel{127, 570, {190, 96, 96}};
inline constexpr TButtonPlace kStartButton{688, 487};
inline constexpr TButtonPlace kCheckButton{575, 506};
inline constexpr TButtonPlace kCancelButton{575, 535};
inline constexpr TButtonPlace kMinimizeButton{748, 15};
inline constexpr TButtonPlace kCloseButton{768, 15};
inline constexpr TBarPlace kFileBar{127, 531, 429, 5, {62, 91, 150}, {62, 91, 150}};
inline constexpr TBarPlace kTotalBar{127, 546, 429, 5, {151, 66, 69}, {151, 66, 53}};
// One rectangle per run of pixels that differ from `key`, row by row; empty when every pixel is
// the key colour (the window then keeps its full rectangle).
std::vector<TRect> BuildRegion(const TImage& image, TRgb key);

// Cuts a sprite into columns x rows frames, in row order; pixels beyond the last whole frame are
// dropped. Frames keep the alpha channel when the sprite has one.
std::vector<TImage> SliceImage(const TImage& image, int columns, int rows);

// The filled length of a bar: (position - min) / |max - min| x width, rounded half to even.
int FilledLength(int min, int max, int position, int width);

// The state of a sprite button, driven by the mouse and the enabled state. Each handler returns
// whether the button must be repainted; Release also tells whether it was a click.
class TButtonState {
 public:
  enum class TState { Up, Down, Disabled };
  TState State() const { return state_; }
  bool PointerOver() const { return over_; }
  bool Enabled() const { return state_ != TState::Disabled; }
  bool Captured() const { return captured_; }

  bool Enter();
  bool Leave();
  bool Move();
  // `left`: the left button; `doubleClick`: the second press of a double click.
  bool Press(bool left, bool doubleClick);
  // `inside`: the release happened over the button. `clicked` is set for a click.
  bool Release(bool left, bool inside, bool& clicked);
  bool SetEnabled(bool enabled);

  // Which sprite frame a paint shows: 0 normal, 1 hover, 2 pressed, 3 disabled.
  int Frame() const;

 private:
  TState state_ = TState::Up;
  bool over_ = false;
  bool captured_ = false;
  bool pressedLeft_ = false;
};

}  // namespace kova::ui
