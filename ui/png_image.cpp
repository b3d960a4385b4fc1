// PNG decoding through libpng, from memory: every colour type becomes 8-bit RGBA, and the image
// remembers whether the source had an alpha channel (grey with alpha, or RGB with alpha).
#include <png.h>

#include <cstring>
#include <stdexcept>

#include "platform/resources.h"
#include "ui/skin.h"

namespace kova::ui {
namespace {

struct TReader {
  std::string_view data;
  std::size_t offset = 0;
};

void ReadFromMemory(png_structp png, png_bytep out, png_size_t length) {
  auto* reader = static_cast<TReader*>(png_get_io_ptr(png));
  if (reader->data.size() - reader->offset < length) png_error(png, "the image ends early");
  std::memcpy(out, reader->data.data() + reader->offset, length);
  reader->offset += length;
}

void OnError(png_structp png, png_const_charp message) {
  auto* text = static_cast<std::string*>(png_get_error_ptr(png));
  *text = message;
  png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp) {}

}  // namespace

TImage DecodePng(std::string_view data) {
  if (data.size() < 8 || png_sig_cmp(reinterpret_cast<png_const_bytep>(data.data()), 0, 8) != 0) {
    throw std::runtime_error("not a PNG image");
  }
  std::string error;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &error, OnError, OnWarning);
  if (!png) throw std::runtime_error("out of memory");
  png_infop info = png_create_info_struct(png);
  TReader reader{data, 0};
  TImage image;
  std::vector<png_bytep> rows;
  // libpng reports errors by a long jump back here; nothing with a destructor is created between
  // this point and the jumps except what is declared above.
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    throw std::runtime_error("broken PNG image: " + error);
  }
  png_set_read_fn(png, &reader, ReadFromMemory);
  png_set_user_limits(png, 16384, 16384);
  png_read_info(png, info);
  const int colourType = png_get_color_type(png, info);
  image.Width = static_cast<int>(png_get_image_width(png, info));
  image.Height = static_cast<int>(png_get_image_height(png, info));
  image.HasAlpha =
      (colourType & PNG_COLOR_MASK_ALPHA) != 0 || png_get_valid(png, info, PNG_INFO_tRNS);
  if (png_get_bit_depth(png, info) == 16) png_set_strip_16(png);
  if (colourType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (colourType == PNG_COLOR_TYPE_GRAY && png_get_bit_depth(png, info) < 8)
    png_set_expand_gray_1_2_4_to_8(png);
  if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
  if (colourType == PNG_COLOR_TYPE_GRAY || colourType == PNG_COLOR_TYPE_GRAY_ALPHA)
    png_set_gray_to_rgb(png);
  png_set_filler(png, 0xFF, PNG_FILLER_AFTER);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  image.Rgba.resize(static_cast<std::size_t>(image.Width) * image.Height * 4);
  rows.resize(static_cast<std::size_t>(image.Height));
  for (int y = 0; y < image.Height; ++y)
    rows[y] = &image.Rgba[static_cast<std::size_t>(y) * image.Width * 4];
  png_read_image(png, rows.data());
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return image;
}

TImage ResourceImage(const std::string& name) {
  std::string_view data;
  if (!platform::FindResourceData(name, data))
    throw std::runtime_error("Resource " + name + " not found");
  return DecodePng(data);
}

}  // namespace kova::ui
