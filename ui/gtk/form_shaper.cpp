#include "ui/gtk/form_shaper.h"

#include <algorithm>

namespace kova::ui {

TFormShaper::TFormShaper(GtkWindow* form) : form_(form) {
  gtk_window_get_default_size(form_, &savedWidth_, &savedHeight_);
  savedDecorated_ = gtk_window_get_decorated(form_);
}

TFormShaper::~TFormShaper() {
  if (!form_ || !GTK_IS_WINDOW(form_)) return;
  gtk_widget_shape_combine_region(GTK_WIDGET(form_), nullptr);
  gtk_window_set_decorated(form_, savedDecorated_);
}

bool TFormShaper::SetBkgndBitmap(const TImage& bitmap) {
  if (bitmap.HasAlpha) return false;
  bitmap_ = bitmap;
  surface_ = bitmap_.Empty() ? TSurface(nullptr, cairo_surface_destroy) : MakeSurface(bitmap_);
  Reshape();
  return true;
}

void TFormShaper::Reshape() {
  GtkWidget* widget = GTK_WIDGET(form_);
  if (bitmap_.Empty()) {
    region_.clear();
    gtk_window_set_decorated(form_, savedDecorated_);
    gtk_window_resize(form_, savedWidth_ > 0 ? savedWidth_ : 1,
                      savedHeight_ > 0 ? savedHeight_ : 1);
    gtk_widget_shape_combine_region(widget, nullptr);
    return;
  }
  gtk_window_set_decorated(form_, FALSE);
  gtk_widget_set_size_request(widget, bitmap_.Width, bitmap_.Height);
  gtk_window_resize(form_, bitmap_.Width, bitmap_.Height);
  if (!TransparentColor) TransparentColor = bitmap_.Colour(0, bitmap_.Height - 1);
  region_ = BuildRegion(bitmap_, *TransparentColor);
  // An image without key pixels (one full-width run per row), or made only of them (no run),
  // leaves the window its full rectangle.
  const bool full =
      region_.empty() || (region_.size() == static_cast<std::size_t>(bitmap_.Height) &&
                          std::all_of(region_.begin(), region_.end(), [&](const TRect& r) {
                            return r.Left == 0 && r.Right == bitmap_.Width;
                          }));
  if (full) {
    gtk_widget_shape_combine_region(widget, nullptr);
  } else {
    cairo_region_t* shape = cairo_region_create();
    for (const TRect& r : region_) {
      const cairo_rectangle_int_t rect{r.Left, r.Top, r.Right - r.Left, r.Bottom - r.Top};
      cairo_region_union_rectangle(shape, &rect);
    }
    gtk_widget_shape_combine_region(widget, shape);
    cairo_region_destroy(shape);
  }
  gtk_widget_queue_draw(widget);
}

bool TFormShaper::PaintBackground(cairo_t* cr) const {
  if (!surface_) return false;
  cairo_set_source_surface(cr, surface_.get(), 0, 0);
  cairo_paint(cr);
  return true;
}

}  // namespace kova::ui
