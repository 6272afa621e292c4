// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "dart_peer/texture_image.h"

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <climits>

namespace dart_peer {

namespace {

// Largest side accepted, far above any real texture, so that the pixel
// count below cannot overflow.
constexpr int64_t kMaxSide = 1 << 16;

FlValue* LookupTyped(FlValue* map, const char* key, FlValueType type) {
  FlValue* value = fl_value_lookup_string(map, key);
  return value != nullptr && fl_value_get_type(value) == type ? value : nullptr;
}

}  // namespace

std::array<uint8_t, 4> TextureImage::Pixel(int64_t x, int64_t y) const {
  size_t offset = static_cast<size_t>((y * width + x) * 4);
  return {pixels[offset], pixels[offset + 1], pixels[offset + 2],
          pixels[offset + 3]};
}

std::array<uint8_t, 4> TextureImage::Center() const {
  return Pixel(width / 2, height / 2);
}

std::string TextureImage::Sha256() const {
  g_autoptr(GChecksum) checksum = g_checksum_new(G_CHECKSUM_SHA256);
  g_checksum_update(checksum, pixels.data(),
                    static_cast<gssize>(pixels.size()));
  return g_checksum_get_string(checksum);
}

bool TextureImageFromValue(FlValue* result,
                           TextureImage* image,
                           std::string* error) {
  if (result == nullptr || fl_value_get_type(result) != FL_VALUE_TYPE_MAP) {
    *error = "the texture reply is not a map";
    return false;
  }
  FlValue* width = LookupTyped(result, "width", FL_VALUE_TYPE_INT);
  FlValue* height = LookupTyped(result, "height", FL_VALUE_TYPE_INT);
  FlValue* pixels = LookupTyped(result, "pixels", FL_VALUE_TYPE_UINT8_LIST);
  if (width == nullptr || height == nullptr || pixels == nullptr) {
    *error =
        "the texture reply lacks an integer width, an integer height "
        "or a uint8 list of pixels";
    return false;
  }
  int64_t w = fl_value_get_int(width);
  int64_t h = fl_value_get_int(height);
  if (w < 0 || h < 0 || w > kMaxSide || h > kMaxSide) {
    *error = "the texture size " + std::to_string(w) + "x" + std::to_string(h) +
             " is out of range";
    return false;
  }
  size_t expected = static_cast<size_t>(w * h * 4);
  size_t length = fl_value_get_length(pixels);
  if (length != expected) {
    *error = "the texture holds " + std::to_string(length) +
             " bytes, not width x height x 4 = " + std::to_string(expected);
    return false;
  }
  const uint8_t* data = fl_value_get_uint8_list(pixels);
  image->width = w;
  image->height = h;
  image->pixels.assign(data, data + length);
  return true;
}

bool SaveTexturePng(const TextureImage& image,
                    const std::string& path,
                    std::string* error) {
  if (image.empty()) {
    *error = "an empty texture cannot be saved as PNG";
    return false;
  }
  g_autoptr(GdkPixbuf) pixbuf = gdk_pixbuf_new_from_data(
      image.pixels.data(), GDK_COLORSPACE_RGB, TRUE, 8,
      static_cast<int>(image.width), static_cast<int>(image.height),
      static_cast<int>(image.width * 4), nullptr, nullptr);
  g_autoptr(GError) save_error = nullptr;
  if (!gdk_pixbuf_save(pixbuf, path.c_str(), "png", &save_error, nullptr)) {
    *error = std::string("cannot save ") + path + ": " + save_error->message;
    return false;
  }
  return true;
}

}  // namespace dart_peer
