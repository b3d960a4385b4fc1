#pragma once
// The window's graphic controls on Windows: they have no window of their own and are painted,
// with the background, into an off-screen bitmap that is then copied to the window in one go,
// so nothing flickers. Labels in Tahoma 11 px, sprite buttons and shaded bars; the rules they
// follow are the shared ones of ui/skin.h.
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "ui/skin.h"

namespace kova::ui {

// A 32-bit top-down bitmap with a device context of its own.
class TCanvas {
 public:
  TCanvas(int width, int height);
  ~TCanvas();
  TCanvas(const TCanvas&) = delete;
  TCanvas& operator=(const TCanvas&) = delete;
  HDC Dc() const { return dc_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  // Draws `image` at (x, y), blended with what lies below by its alpha when it has one.
  void Draw(const TImage& image, int x, int y);
  void Fill(const TRect& r, TRgb colour);
  // Copies a part of `from` at the same place.
  void CopyFrom(const TCanvas& from, const TRect& r);

 private:
  int width_, height_;
  HDC dc_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ old_ = nullptr;
  std::uint32_t* pixels_ = nullptr;  // 0x00RRGGBB per pixel, rows from the top
};

class TControl {
 public:
  virtual ~TControl() = default;
  TRect Bounds{0, 0, 0, 0};
  bool Visible = true;
  virtual bool Enabled() const { return true; }
  virtual void Paint(TCanvas& canvas) = 0;
  bool Contains(int x, int y) const {
    return x >= Bounds.Left && x < Bounds.Right && y >= Bounds.Top && y < Bounds.Bottom;
  }
  // Asks the window to repaint a part of its surface; `now` paints before returning.
  std::function<void(const TRect&, bool now)> Invalidate;
  void Repaint(bool now = false) {
    if (Invalidate) Invalidate(Bounds, now);
  }
};

// A label with a transparent background that sizes itself to its text.
class TLabel final : public TControl {
 public:
  explicit TLabel(const TLabelPlace& place) : colour_(place.Colour) {
    Bounds = {place.Left, place.Top, place.Left, place.Top};
  }
  void SetCaption(const std::string& text);
  const std::string& Caption() const { return text_; }
  void Paint(TCanvas& canvas) override;

 private:
  std::string text_;
  TRgb colour_;
};

class TMyPNGButton final : public TControl {
 public:
  explicit TMyPNGButton(const TButtonPlace& place) {
    Bounds = {place.Left, place.Top, place.Left + 23, place.Top + 23};
  }
  // Keeps the sprite, slices it into its four frames and takes the size of one.
  void SetImage(const TImage& image);
  bool Enabled() const override { return state_.Enabled(); }
  void SetEnabled(bool enabled);
  TButtonState& State() { return state_; }
  void Paint(TCanvas& canvas) override;
  std::function<void()> OnClick;

 private:
  TButtonState state_;
  TImage image_;
  std::vector<TImage> frames_;
};

class TALProgressBar final : public TControl {
 public:
  explicit TALProgressBar(const TBarPlace& place);
  int Min = 0;
  int Max() const { return max_; }
  int Position() const { return position_; }
  // A value outside Min..Max, or equal to the current one, changes nothing; a change is drawn
  // at once.
  void SetPosition(int value);
  void SetMax(int value);
  TRgb BackgroundColor{0, 0, 0};
  void Paint(TCanvas& canvas) override;

 private:
  TRgb colour1_, colour2_;
  int max_;
  int position_ = 0;
  std::vector<TRgb> shading_;  // one colour per column
};

// The labels' font: Tahoma at a character height of 11 pixels.
HFONT LabelFont();

}  // namespace kova::ui
