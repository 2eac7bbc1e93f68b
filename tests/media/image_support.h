// Helpers of the picture codec tests: a temporary directory removed at the
// end, external reference tools run through the shell, files written and
// read whole, and decoding through the image file layer into a vector.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "media/media.h"

namespace imagetest {

inline bool HaveTool(const char* name) {
  std::string command = std::string("command -v ") + name + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

// Runs a shell command; its standard output, or an empty result with ok
// false when it failed.
inline std::string Shell(const std::string& command, bool* ok = nullptr) {
  std::string out;
  FILE* p = popen((command + " 2>/dev/null").c_str(), "r");
  if (!p) {
    if (ok) *ok = false;
    return out;
  }
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  int status = pclose(p);
  if (ok) *ok = status == 0;
  return out;
}

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/qm_image_XXXXXX";
    if (mkdtemp(pattern)) path_ = pattern;
  }
  ~TempDir() {
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

inline std::vector<uint8_t> ReadFile(const std::string& path) {
  std::vector<uint8_t> bytes;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return bytes;
  uint8_t buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
    bytes.insert(bytes.end(), buffer, buffer + n);
  fclose(f);
  return bytes;
}

struct Decoded {
  ErrorCode error = -1;
  int32_t width = 0, height = 0, hasAlpha = 0, format = 8, transparent = -1;
  std::vector<uint32_t> pixels;
};

// Decodes a file through the image file layer.
inline Decoded Load(const std::string& path, int32_t maskMode = 0) {
  Decoded d;
  DecodedImage* image = nullptr;
  d.error = LoadImageFile(path.c_str(), nullptr, nullptr, nullptr, -1, maskMode, &image, nullptr,
                          &d.transparent, &d.width, &d.height, &d.hasAlpha, nullptr, &d.format);
  if (d.error == 0) {
    const uint32_t* p = GetDecodedImagePixels(image);
    d.pixels.assign(p, p + static_cast<size_t>(d.width) * static_cast<size_t>(d.height));
    FreeDecodedImage(image);
  }
  return d;
}

// Bytes of 3 (RGB) or 4 (RGBA) per pixel as 0xAARRGGBB words; RGB gets
// alpha 0 so it compares with pictures that carry none.
inline std::vector<uint32_t> Words(const std::string& bytes, int channels) {
  std::vector<uint32_t> out(bytes.size() / static_cast<size_t>(channels));
  const auto* b = reinterpret_cast<const uint8_t*>(bytes.data());
  for (size_t i = 0; i < out.size(); i++, b += channels)
    out[i] = (channels == 4 ? uint32_t{b[3]} << 24 : 0) | (uint32_t{b[0]} << 16) |
             (uint32_t{b[1]} << 8) | b[2];
  return out;
}

// The pixels of a binary PPM (P6) or PGM (P5) of maxval 255 as words with
// alpha 0.
inline std::vector<uint32_t> PnmWords(const std::string& pnm, int32_t* width, int32_t* height) {
  int kind = 0, w = 0, h = 0, maxval = 0, consumed = 0;
  if (std::sscanf(pnm.c_str(), "P%d %d %d %d%n", &kind, &w, &h, &maxval, &consumed) != 4 ||
      maxval != 255 || (kind != 5 && kind != 6))
    return {};
  *width = w;
  *height = h;
  std::string data = pnm.substr(static_cast<size_t>(consumed) + 1);
  if (kind == 6) return Words(data, 3);
  std::vector<uint32_t> out(data.size());
  for (size_t i = 0; i < out.size(); i++) out[i] = static_cast<uint8_t>(data[i]) * 0x010101u;
  return out;
}

// A picture as a binary PPM file.
inline void WritePpm(const std::string& path, const std::vector<uint32_t>& pixels, int32_t width,
                     int32_t height) {
  std::vector<uint8_t> bytes;
  std::string head = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  bytes.assign(head.begin(), head.end());
  for (uint32_t c : pixels) {
    bytes.push_back(static_cast<uint8_t>(c >> 16));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
    bytes.push_back(static_cast<uint8_t>(c));
  }
  WriteFile(path, bytes);
}

// Words with the alpha byte cleared, for pictures whose alpha is not used.
inline std::vector<uint32_t> Rgb(std::vector<uint32_t> pixels) {
  for (auto& p : pixels) p &= 0xFFFFFF;
  return pixels;
}

// Deterministic test pictures: smooth gradients with some noise.
inline std::vector<uint32_t> TestPicture(int32_t width, int32_t height, uint32_t seed) {
  std::vector<uint32_t> p(static_cast<size_t>(width) * static_cast<size_t>(height));
  uint32_t s = seed * 2654435761u + 1;
  for (int32_t y = 0; y < height; y++)
    for (int32_t x = 0; x < width; x++) {
      s = s * 1103515245u + 12345u;
      uint32_t r = static_cast<uint32_t>(x * 255 / (width > 1 ? width - 1 : 1));
      uint32_t g = static_cast<uint32_t>(y * 255 / (height > 1 ? height - 1 : 1));
      uint32_t b = (s >> 16) & 0xFF;
      p[static_cast<size_t>(y) * width + x] = (r << 16) | (g << 8) | b;
    }
  return p;
}

// The two PNG files the brush and picture tests load, made by ImageMagick:
// a 40x30 opaque picture whose pixels all differ (red runs with x, green
// with y, blue mixes both), and a 20x10 orange one whose alpha ramps up
// with x inside a fully transparent border of 3 pixels (26x16 in all).
inline void MakeDistinctPng(const std::string& path) {
  Shell(
      "convert -size 40x30 xc: -channel R -fx 'i/39' -channel G -fx 'j/29' -channel B -fx "
      "'((i*7+j*3)%17)/16' +channel -alpha off -depth 8 '" +
      path + "'");
}
inline void MakeAlphaRampPng(const std::string& path) {
  Shell(
      "convert -size 20x10 xc:'#ff8000' -alpha set -channel A -fx 'i/20' +channel "
      "-bordercolor none -border 3 -depth 8 '" +
      path + "'");
}

#define REQUIRE_TOOLS(...) \
  do { \
    for (const char* tool : {__VA_ARGS__}) \
      if (!imagetest::HaveTool(tool)) GTEST_SKIP() << tool << " missing"; \
  } while (0)

}  // namespace imagetest
