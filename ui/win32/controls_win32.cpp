#include "ui/win32/controls_win32.h"

#include <algorithm>

#include "platform/win32/shown_text.h"

namespace kova::ui {

TCanvas::TCanvas(int width, int height) : width_(std::max(width, 1)), height_(std::max(height, 1)) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width_;
  info.bmiHeader.biHeight = -height_;  // rows from the top
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  dc_ = CreateCompatibleDC(nullptr);
  bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  pixels_ = static_cast<std::uint32_t*>(bits);
  old_ = SelectObject(dc_, bitmap_);
}

TCanvas::~TCanvas() {
  SelectObject(dc_, old_);
  DeleteObject(bitmap_);
  DeleteDC(dc_);
}

void TCanvas::Draw(const TImage& image, int x, int y) {
  if (!pixels_) return;
  GdiFlush();  // text drawn through GDI lands before the pixels are touched directly
  const int left = std::max(0, -x), top = std::max(0, -y);
  const int right = std::min(image.Width, width_ - x), bottom = std::min(image.Height, height_ - y);
  for (int row = top; row < bottom; ++row) {
    std::uint32_t* out = pixels_ + static_cast<std::ptrdiff_t>(y + row) * width_ + x;
    for (int col = left; col < right; ++col) {
      const std::uint8_t* p = image.Pixel(col, row);
      const unsigned a = image.HasAlpha ? p[3] : 255;
      if (a == 0) continue;
      unsigned r = p[0], g = p[1], b = p[2];
      if (a < 255) {
        const std::uint32_t below = out[col];
        r = (r * a + ((below >> 16) & 0xFF) * (255 - a) + 127) / 255;
        g = (g * a + ((below >> 8) & 0xFF) * (255 - a) + 127) / 255;
        b = (b * a + (below & 0xFF) * (255 - a) + 127) / 255;
      }
      out[col] = (r << 16) | (g << 8) | b;
    }
  }
}

void TCanvas::Fill(const TRect& r, TRgb colour) {
  if (!pixels_) return;
  GdiFlush();
  const std::uint32_t value = (std::uint32_t{colour.R} << 16) | (colour.G << 8) | colour.B;
  for (int y = std::max(r.Top, 0); y < std::min(r.Bottom, height_); ++y) {
    std::uint32_t* row = pixels_ + static_cast<std::ptrdiff_t>(y) * width_;
    std::fill(row + std::max(r.Left, 0), row + std::max(std::min(r.Right, width_), 0), value);
  }
}

void TCanvas::CopyFrom(const TCanvas& from, const TRect& r) {
  BitBlt(dc_, r.Left, r.Top, r.Right - r.Left, r.Bottom - r.Top, from.dc_, r.Left, r.Top, SRCCOPY);
}

HFONT LabelFont() {
  static const HFONT font =
      CreateFontA(-11, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                  CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, "Tahoma");
  return font;
}

void TLabel::SetCaption(const std::string& text) {
  if (text == text_) return;
  Repaint();  // where the old text was
  text_ = text;
  SIZE size{0, 0};
  if (!text_.empty()) {
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, LabelFont());
    const std::wstring shown = platform::ShownText(text_);
    GetTextExtentPoint32W(dc, shown.data(), static_cast<int>(shown.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
  }
  Bounds.Right = Bounds.Left + size.cx;
  Bounds.Bottom = Bounds.Top + size.cy;
  Repaint();
}

void TLabel::Paint(TCanvas& canvas) {
  if (text_.empty()) return;
  HGDIOBJ old = SelectObject(canvas.Dc(), LabelFont());
  SetBkMode(canvas.Dc(), TRANSPARENT);
  SetTextColor(canvas.Dc(), RGB(colour_.R, colour_.G, colour_.B));
  const std::wstring shown = platform::ShownText(text_);
  TextOutW(canvas.Dc(), Bounds.Left, Bounds.Top, shown.data(), static_cast<int>(shown.size()));
  SelectObject(canvas.Dc(), old);
}

void TMyPNGButton::SetImage(const TImage& image) {
  image_ = image;
  frames_ = SliceImage(image_, 4, 1);
  Repaint();
  Bounds.Right = Bounds.Left + image_.Width / 4;
  Bounds.Bottom = Bounds.Top + image_.Height;
  Repaint();
}

void TMyPNGButton::SetEnabled(bool enabled) {
  if (enabled == Enabled()) return;
  if (state_.SetEnabled(enabled)) Repaint();
}

void TMyPNGButton::Paint(TCanvas& canvas) {
  if (image_.Empty() || frames_.size() < 4) return;
  canvas.Draw(frames_[static_cast<std::size_t>(state_.Frame())], Bounds.Left, Bounds.Top);
}

TALProgressBar::TALProgressBar(const TBarPlace& place)
    : colour1_(place.Colour1), colour2_(place.Colour2), max_(place.Width) {
  Bounds = {place.Left, place.Top, place.Left + place.Width, place.Top + place.Height};
}

void TALProgressBar::SetPosition(int value) {
  if (value == position_ || value < Min || value > max_) return;
  position_ = value;
  Repaint(true);
}

void TALProgressBar::SetMax(int value) {
  if (value == max_) return;
  max_ = value;
  Repaint(true);
}

void TALProgressBar::Paint(TCanvas& canvas) {
  const int width = Bounds.Right - Bounds.Left;
  if (width <= 0 || Bounds.Bottom <= Bounds.Top) return;
  // The shading depends on the colours and the size only: it is computed once.
  if (shading_.empty()) {
    for (int x = 0; x < width; ++x)
      shading_.push_back(GradientColor(colour1_, colour2_, x + 1, width));
  }
  const int filled = FilledLength(Min, max_, position_, width);
  for (int x = 0; x < filled; ++x) {
    canvas.Fill({Bounds.Left + x, Bounds.Top, Bounds.Left + x + 1, Bounds.Bottom},
                shading_[static_cast<std::size_t>(x)]);
  }
  canvas.Fill({Bounds.Left + filled, Bounds.Top, Bounds.Right, Bounds.Bottom}, BackgroundColor);
}

}  // namespace kova::ui
