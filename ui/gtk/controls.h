#pragma once
// The window's graphic controls: they have no window of their own and paint on the window's
// surface, which hands them the mouse. Labels, sprite buttons and shaded bars.
#include <cairo.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ui/skin.h"

namespace kova::ui {

// Holds a cairo surface made from an image.
using TSurface = std::unique_ptr<cairo_surface_t, decltype(&cairo_surface_destroy)>;
TSurface MakeSurface(const TImage& image);

class TControl {
 public:
  virtual ~TControl() = default;
  TRect Bounds{0, 0, 0, 0};
  bool Visible = true;
  virtual bool Enabled() const { return true; }
  virtual void Paint(cairo_t* cr) = 0;
  bool Contains(double x, double y) const {
    return x >= Bounds.Left && x < Bounds.Right && y >= Bounds.Top && y < Bounds.Bottom;
  }
  // Asks the window to repaint a part of its surface.
  std::function<void(const TRect&)> Invalidate;
  void Repaint() {
    if (Invalidate) Invalidate(Bounds);
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
  void Paint(cairo_t* cr) override;

 private:
  std::string text_;
  TRgb colour_;
};

// TPNGButton's behaviour with TMyPNGButton's four-frame sprite.
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
  int ShownFrame() const { return state_.Frame(); }
  void Paint(cairo_t* cr) override;
  std::function<void()> OnClick;

 private:
  TButtonState state_;
  TImage image_;
  std::vector<TSurface> frames_;
};

class TALProgressBar final : public TControl {
 public:
  explicit TALProgressBar(const TBarPlace& place);
  int Min = 0;
  int Max() const { return max_; }
  int Position() const { return position_; }
  // A value outside Min..Max, or equal to the current one, changes nothing.
  void SetPosition(int value);
  void SetMax(int value);
  TRgb BackgroundColor{0, 0, 0};
  void Paint(cairo_t* cr) override;

 private:
  void DrawShading();
  TRgb colour1_, colour2_;
  int max_;
  int position_ = 0;
  TSurface shading_{nullptr, cairo_surface_destroy};
};

}  // namespace kova::ui
