#include "ui/skin.h"

#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "platform/resources.h"

namespace kova::ui {

int MulDiv(int number, int numerator, int denominator) {
  if (denominator == 0) return -1;
  const long long product = static_cast<long long>(number) * numerator;
  const long long half = std::llabs(static_cast<long long>(denominator)) / 2;
  long long result;
  // Rounds half away from zero, whatever the signs.
  if ((product < 0) != (denominator < 0)) {
    result = -((std::llabs(product) + half) / std::llabs(static_cast<long long>(denominator)));
  } else {
    result = (std::llabs(product) + half) / std::llabs(static_cast<long long>(denominator));
  }
  return static_cast<int>(result);
}

TRgb GradientColor(TRgb first, TRgb last, int index, int count) {
  if (index < 1 || index > count) {
    throw std::out_of_range("ColorIndex can't be less than 1 or greater than " +
                            std::to_string(count));
  }
  // A single column shows the first colour.
  auto channel = [&](int a, int b) {
    const int step = count > 1 ? MulDiv(index - 1, b - a, count - 1) : 0;
    return static_cast<std::uint8_t>((a + step) & 0xFF);
  };
  return {channel(first.R, last.R), channel(first.G, last.G), channel(first.B, last.B)};
}

std::vector<TRect> BuildRegion(const TImage& image, TRgb key) {
  std::vector<TRect> rects;
  for (int y = 0; y < image.Height; ++y) {
    int start = -1;
    for (int x = 0; x < image.Width; ++x) {
      const bool opaque = !(image.Colour(x, y) == key);
      if (opaque && start < 0) start = x;
      if (!opaque && start >= 0) {
        rects.push_back({start, y, x, y + 1});
        start = -1;
      }
    }
    if (start >= 0) rects.push_back({start, y, image.Width, y + 1});
  }
  return rects;
}

std::vector<TImage> SliceImage(const TImage& image, int columns, int rows) {
  std::vector<TImage> frames;
  if (columns <= 0 || rows <= 0) return frames;
  const int width = image.Width / columns;
  const int height = image.Height / rows;
  for (int row = 0; row < rows; ++row) {
    for (int column = 0; column < columns; ++column) {
      TImage frame;
      frame.Width = width;
      frame.Height = height;
      frame.HasAlpha = image.HasAlpha;
      frame.Rgba.resize(static_cast<std::size_t>(width) * height * 4);
      for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
          const std::uint8_t* from = image.Pixel(column * width + x, row * height + y);
          std::uint8_t* to = &frame.Rgba[(static_cast<std::size_t>(y) * width + x) * 4];
          to[0] = from[0];
          to[1] = from[1];
          to[2] = from[2];
          to[3] = image.HasAlpha ? from[3] : 255;
        }
      }
      frames.push_back(std::move(frame));
    }
  }
  return frames;
}

int FilledLength(int min, int max, int position, int width) {
  if (!(min < position) || min == max) return 0;
  const double exact = static_cast<double>(position - min) / std::abs(max - min) * width;
  return static_cast<int>(std::nearbyint(exact));  // the default rounding mode: halves to even
}

bool TButtonState::Enter() {
  if (!Enabled()) return false;
  over_ = true;
  return true;
}

bool TButtonState::Leave() {
  if (!Enabled()) return false;
  over_ = false;
  return true;
}

bool TButtonState::Move() {
  if (over_ || state_ == TState::Down || !Enabled()) return false;
  over_ = true;
  return true;
}

bool TButtonState::Press(bool left, bool doubleClick) {
  if (!left || state_ != TState::Up) return false;
  // The second press of a double click still presses the button, but its release clicks
  // nothing: one click per double click.
  state_ = TState::Down;
  captured_ = true;
  pressedLeft_ = !doubleClick;
  return true;
}

bool TButtonState::Release(bool left, bool inside, bool& clicked) {
  clicked = false;
  if (state_ != TState::Down) {
    captured_ = false;
    return false;
  }
  clicked = left && inside && pressedLeft_;
  state_ = TState::Up;
  captured_ = false;
  pressedLeft_ = false;
  return true;
}

bool TButtonState::SetEnabled(bool enabled) {
  state_ = enabled ? TState::Up : TState::Disabled;
  captured_ = false;
  pressedLeft_ = false;
  return true;
}

int TButtonState::Frame() const {
  if (state_ == TState::Down && over_) return 2;
  if (over_ && Enabled()) return 1;
  if (state_ == TState::Disabled) return 3;
  return 0;
}

TImage ToBitmap24(const TImage& image) {
  TImage bitmap = image;
  bitmap.HasAlpha = false;
  for (std::size_t i = 3; i < bitmap.Rgba.size(); i += 4) bitmap.Rgba[i] = 255;
  return bitmap;
}

}  // namespace kova::ui
