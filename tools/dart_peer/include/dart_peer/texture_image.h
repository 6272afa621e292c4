// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef TOOLS_DART_PEER_INCLUDE_DART_PEER_TEXTURE_IMAGE_H_
#define TOOLS_DART_PEER_INCLUDE_DART_PEER_TEXTURE_IMAGE_H_

#include <flutter_linux/flutter_linux.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace dart_peer {

// A texture's pixels as the engine's "readTexture" returns them.
struct TextureImage {
  int64_t width = 0;
  int64_t height = 0;
  std::vector<uint8_t> pixels;  // RGBA, rows of width * 4 bytes, no padding.

  bool empty() const { return width == 0 || height == 0; }
  // The RGBA pixel at (x, y); both must be inside the picture.
  std::array<uint8_t, 4> Pixel(int64_t x, int64_t y) const;
  // The pixel at (width / 2, height / 2); the picture must not be empty.
  std::array<uint8_t, 4> Center() const;
  // SHA-256 of the pixel bytes, lower-case hex.
  std::string Sha256() const;
};

// Reads the reply of "readTexture" ({"width", "height", "pixels"}). Returns
// false with the reason when a field is missing or mistyped, a size is
// negative, or the pixel count does not match the size.
bool TextureImageFromValue(FlValue* result,
                           TextureImage* image,
                           std::string* error);

// Writes |image| as a PNG file with alpha.
bool SaveTexturePng(const TextureImage& image,
                    const std::string& path,
                    std::string* error);

}  // namespace dart_peer

#endif  // TOOLS_DART_PEER_INCLUDE_DART_PEER_TEXTURE_IMAGE_H_
