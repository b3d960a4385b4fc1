#include "ui/gtk/controls.h"

#include <pango/pangocairo.h>

#include <cstring>

namespace kova::ui {

TSurface MakeSurface(const TImage& image) {
  cairo_surface_t* surface =
      cairo_image_surface_create(CAIRO_FORMAT_ARGB32, image.Width, image.Height);
  cairo_surface_flush(surface);
  unsigned char* data = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  for (int y = 0; y < image.Height; ++y) {
    auto* row = reinterpret_cast<std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride);
    for (int x = 0; x < image.Width; ++x) {
      const std::uint8_t* p = image.Pixel(x, y);
      const std::uint32_t a = image.HasAlpha ? p[3] : 255;
      // Cairo keeps colours premultiplied by alpha.
      const std::uint32_t r = p[0] * a / 255, g = p[1] * a / 255, b = p[2] * a / 255;
      row[x] = (a << 24) | (r << 16) | (g << 8) | b;
    }
  }
  cairo_surface_mark_dirty(surface);
  return TSurface(surface, cairo_surface_destroy);
}

namespace {

PangoLayout* LabelLayout(cairo_t* cr, const std::string& text) {
  static PangoFontDescription* const font = [] {
    PangoFontDescription* f = pango_font_description_from_string("Tahoma, DejaVu Sans, sans");
    pango_font_description_set_absolute_size(f, 11 * PANGO_SCALE);
    return f;
  }();
  PangoLayout* layout = pango_cairo_create_layout(cr);
  pango_layout_set_font_description(layout, font);
  pango_layout_set_text(layout, text.c_str(), static_cast<int>(text.size()));
  return layout;
}

// A context to measure text in, made once: the information line changes for every file of a run.
cairo_t* MeasuringContext() {
  static cairo_t* const cr = [] {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
    cairo_t* context = cairo_create(surface);
    cairo_surface_destroy(surface);  // the context keeps it
    return context;
  }();
  return cr;
}

}  // namespace

void TLabel::SetCaption(const std::string& text) {
  if (text == text_) return;
  Repaint();  // where the old text was
  text_ = text;
  // The size comes from the text as it will be drawn.
  PangoLayout* layout = LabelLayout(MeasuringContext(), text_);
  int width = 0, height = 0;
  pango_layout_get_pixel_size(layout, &width, &height);
  g_object_unref(layout);
  Bounds.Right = Bounds.Left + (text_.empty() ? 0 : width);
  Bounds.Bottom = Bounds.Top + (text_.empty() ? 0 : height);
  Repaint();
}

void TLabel::Paint(cairo_t* cr) {
  if (text_.empty()) return;
  PangoLayout* layout = LabelLayout(cr, text_);
  cairo_set_source_rgb(cr, colour_.R / 255.0, colour_.G / 255.0, colour_.B / 255.0);
  cairo_move_to(cr, Bounds.Left, Bounds.Top);
  pango_cairo_show_layout(cr, layout);
  g_object_unref(layout);
}

void TMyPNGButton::SetImage(const TImage& image) {
  image_ = image;
  frames_.clear();
  for (const TImage& frame : SliceImage(image_, 4, 1)) frames_.push_back(MakeSurface(frame));
  const int width = image_.Width / 4, height = image_.Height;
  Repaint();
  Bounds.Right = Bounds.Left + width;
  Bounds.Bottom = Bounds.Top + height;
  Repaint();
}

void TMyPNGButton::SetEnabled(bool enabled) {
  if (enabled == Enabled()) return;
  if (state_.SetEnabled(enabled)) Repaint();
}

void TMyPNGButton::Paint(cairo_t* cr) {
  if (image_.Empty() || frames_.size() < 4) return;
  cairo_set_source_surface(cr, frames_[static_cast<std::size_t>(state_.Frame())].get(), Bounds.Left,
                           Bounds.Top);
  cairo_paint(cr);
}

TALProgressBar::TALProgressBar(const TBarPlace& place)
    : colour1_(place.Colour1), colour2_(place.Colour2), max_(place.Width) {
  Bounds = {place.Left, place.Top, place.Left + place.Width, place.Top + place.Height};
}

void TALProgressBar::SetPosition(int value) {
  if (value == position_ || value < Min || value > max_) return;
  position_ = value;
  Repaint();
}

void TALProgressBar::SetMax(int value) {
  if (value == max_) return;
  max_ = value;
  Repaint();
}

void TALProgressBar::DrawShading() {
  const int width = Bounds.Right - Bounds.Left, height = Bounds.Bottom - Bounds.Top;
  shading_.reset(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height));
  cairo_t* cr = cairo_create(shading_.get());
  for (int x = 0; x < width; ++x) {
    const TRgb c = GradientColor(colour1_, colour2_, x + 1, width);
    cairo_set_source_rgb(cr, c.R / 255.0, c.G / 255.0, c.B / 255.0);
    cairo_rectangle(cr, x, 0, 1, height);
    cairo_fill(cr);
  }
  cairo_destroy(cr);
}

void TALProgressBar::Paint(cairo_t* cr) {
  const int width = Bounds.Right - Bounds.Left, height = Bounds.Bottom - Bounds.Top;
  if (width <= 0 || height <= 0) return;
  // The shading depends on the colours and the size only: it is drawn once.
  if (!shading_) DrawShading();
  const int filled = FilledLength(Min, max_, position_, width);
  cairo_save(cr);
  cairo_rectangle(cr, Bounds.Left, Bounds.Top, width, height);
  cairo_clip(cr);
  cairo_set_source_surface(cr, shading_.get(), Bounds.Left, Bounds.Top);
  cairo_paint(cr);
  cairo_set_source_rgb(cr, BackgroundColor.R / 255.0, BackgroundColor.G / 255.0,
                       BackgroundColor.B / 255.0);
  cairo_rectangle(cr, Bounds.Left + filled, Bounds.Top, width - filled, height);
  cairo_fill(cr);
  cairo_restore(cr);
}

}  // namespace kova::ui
