#pragma once
// Gives a window the size and outline of a background image and paints the image as its
// background. Pixels of the key colour are cut out of the window.
#include <gtk/gtk.h>

#include <optional>

#include "ui/gtk/controls.h"
#include "ui/skin.h"

namespace kova::ui {

class TFormShaper {
 public:
  explicit TFormShaper(GtkWindow* form);
  ~TFormShaper();
  TFormShaper(const TFormShaper&) = delete;
  TFormShaper& operator=(const TFormShaper&) = delete;

  // None: taken from the bottom-left pixel of the image when the window is shaped.
  std::optional<TRgb> TransparentColor;
  // Only a 24-bit image (no alpha channel) is taken; anything else is ignored (false).
  bool SetBkgndBitmap(const TImage& bitmap);
  const TImage& BkgndBitmap() const { return bitmap_; }
  // The rectangles of the window's outline; empty while the window keeps its full rectangle.
  const std::vector<TRect>& Region() const { return region_; }
  // Paints the background, when there is one; false otherwise.
  bool PaintBackground(cairo_t* cr) const;

 private:
  void Reshape();
  GtkWindow* form_;
  TImage bitmap_;
  TSurface surface_{nullptr, cairo_surface_destroy};
  std::vector<TRect> region_;
  int savedWidth_ = 0, savedHeight_ = 0;
  bool savedDecorated_ = true;
};

}  // namespace kova::ui
