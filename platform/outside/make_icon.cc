// Copyright 2026 The Zelkoz Authors. All rights reserved.
//
// Draws the application's fallback icon, a rounded tile with a play symbol,
// and saves it as PNG: make_icon OUTPUT.png [SIZE]

#include <gdk-pixbuf/gdk-pixbuf.h>

#include <cmath>
#include <cstdlib>

namespace {

constexpr int kDefaultSize = 256;
constexpr int kSamples = 4;  // Per axis, for smooth edges.

// Returns true when (x, y), in units of the icon's side, lies on the tile.
bool InsideTile(double x, double y) {
  constexpr double kMargin = 0.04;
  constexpr double kRadius = 0.2;
  const double lo = kMargin + kRadius;
  const double hi = 1.0 - kMargin - kRadius;
  const double cx = x < lo ? lo : (x > hi ? hi : x);
  const double cy = y < lo ? lo : (y > hi ? hi : y);
  return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= kRadius * kRadius &&
         x >= kMargin && x <= 1.0 - kMargin && y >= kMargin &&
         y <= 1.0 - kMargin;
}

// Returns true when (x, y) lies inside the right-pointing play triangle.
bool InsideTriangle(double x, double y) {
  constexpr double kLeft = 0.38, kRight = 0.72, kTop = 0.3, kBottom = 0.7;
  if (x < kLeft || x > kRight) {
    return false;
  }
  const double half = (kBottom - kTop) / 2.0 * (kRight - x) / (kRight - kLeft);
  return std::fabs(y - 0.5) <= half;
}

guint8 Mix(double a, double b, double t) {
  return static_cast<guint8>(std::lround(a + (b - a) * t));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    g_printerr("usage: %s OUTPUT.png [SIZE]\n", argv[0]);
    return 2;
  }
  const int size = argc == 3 ? std::atoi(argv[2]) : kDefaultSize;
  if (size < 16 || size > 4096) {
    g_printerr("make_icon: bad size %s\n", argv[2]);
    return 2;
  }

  g_autoptr(GdkPixbuf) pixbuf =
      gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, size, size);
  if (pixbuf == nullptr) {
    g_printerr("make_icon: cannot allocate %dx%d\n", size, size);
    return 1;
  }
  guint8* pixels = gdk_pixbuf_get_pixels(pixbuf);
  const int stride = gdk_pixbuf_get_rowstride(pixbuf);

  for (int py = 0; py < size; ++py) {
    for (int px = 0; px < size; ++px) {
      int tile = 0, symbol = 0;
      for (int sy = 0; sy < kSamples; ++sy) {
        for (int sx = 0; sx < kSamples; ++sx) {
          const double x = (px + (sx + 0.5) / kSamples) / size;
          const double y = (py + (sy + 0.5) / kSamples) / size;
          if (InsideTile(x, y)) {
            ++tile;
            if (InsideTriangle(x, y)) {
              ++symbol;
            }
          }
        }
      }
      const double coverage = static_cast<double>(tile) / (kSamples * kSamples);
      const double white = tile == 0 ? 0.0 : static_cast<double>(symbol) / tile;
      const double t = static_cast<double>(py) / (size - 1);
      // A vertical gradient from teal to deep blue under a white symbol.
      guint8* p = pixels + py * stride + px * 4;
      p[0] = Mix(Mix(0x1f, 0x2a, t), 255, white);
      p[1] = Mix(Mix(0xb5, 0x4b, t), 255, white);
      p[2] = Mix(Mix(0xa8, 0xc9, t), 255, white);
      p[3] = static_cast<guint8>(std::lround(255.0 * coverage));
    }
  }

  g_autoptr(GError) error = nullptr;
  if (!gdk_pixbuf_save(pixbuf, argv[1], "png", &error, nullptr)) {
    g_printerr("make_icon: %s\n", error->message);
    return 1;
  }
  return 0;
}
