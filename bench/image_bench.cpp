// Decoding a 1920 x 1080 PNG and JPEG through the image file layer beside
// libpng's and libjpeg's own simplest decodes of the same files (libpng's
// simplified API to RGBA, libjpeg's stdio source to RGB scanlines). The
// files are written once into the temporary directory by our own encoders.
#include <benchmark/benchmark.h>

#include <cstdio>  // jpeglib.h needs FILE first
#include <cstdlib>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <png.h>

#include "media/media.h"
#include "media/image_private.h"

namespace {

constexpr int32_t W = 1920, H = 1080;

// A photograph-like picture: smooth gradients, a few shapes, mild noise.
std::vector<uint32_t> Picture() {
  std::vector<uint32_t> p(static_cast<size_t>(W) * H);
  uint32_t s = 12345;
  for (int32_t y = 0; y < H; y++)
    for (int32_t x = 0; x < W; x++) {
      s = s * 1103515245u + 12345u;
      int noise = static_cast<int>((s >> 16) & 7) - 4;
      int r = x * 255 / W + noise, g = y * 255 / H + noise,
          b = ((x - W / 2) * (x - W / 2) + (y - H / 2) * (y - H / 2)) / 4000;
      if ((x / 120 + y / 120) % 5 == 0) r = 255 - r;
      auto clamp = [](int v) { return static_cast<uint32_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
      p[static_cast<size_t>(y) * W + x] = (clamp(r) << 16) | (clamp(g) << 8) | clamp(b);
    }
  return p;
}

struct Files {
  std::string png, jpeg;
  Files() {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = tmp && *tmp ? tmp : "/tmp";
    png = dir + "/qm_image_bench.png";
    jpeg = dir + "/qm_image_bench.jpg";
    std::vector<uint32_t> p = Picture();
    PngWriteRequest r{png.c_str(), p.data(), W * 4u, W, H, 0, -1};
    WritePng(&r);
    JpegEncodeRequest j{};
    j.pixels = p.data();
    j.bytesPerRow = W * 4u;
    j.width = W;
    j.height = H;
    j.quality = 90;
    EncodeJpegToMemory(&j);
    FILE* f = std::fopen(jpeg.c_str(), "wb");
    if (f && j.result == 0) std::fwrite(j.data, 1, j.length, f);
    if (f) std::fclose(f);
    FreeJpegBuffer(j.holder);
  }
  ~Files() {
    std::remove(png.c_str());
    std::remove(jpeg.c_str());
  }
};

const Files& files() {
  static Files f;
  return f;
}

void ourDecode(benchmark::State& state, const std::string& path) {
  for (auto _ : state) {
    DecodedImage* image = nullptr;
    int32_t w = 0, h = 0;
    ErrorCode e = LoadImageFile(path.c_str(), "inbuilt", nullptr, nullptr, -1, 0, &image, nullptr,
                                nullptr, &w, &h, nullptr, nullptr, nullptr);
    if (e) {
      state.SkipWithError("decode failed");
      break;
    }
    benchmark::DoNotOptimize(image->pixels);
    FreeDecodedImage(image);
  }
  state.SetItemsProcessed(state.iterations() * W * H);
}

void BM_PngOurs(benchmark::State& state) { ourDecode(state, files().png); }
void BM_JpegOurs(benchmark::State& state) { ourDecode(state, files().jpeg); }

void BM_PngLibpng(benchmark::State& state) {
  for (auto _ : state) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, files().png.c_str())) {
      state.SkipWithError("libpng failed");
      break;
    }
    image.format = PNG_FORMAT_BGRA;
    std::vector<png_byte> buffer(PNG_IMAGE_SIZE(image));
    png_image_finish_read(&image, nullptr, buffer.data(), 0, nullptr);
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetItemsProcessed(state.iterations() * W * H);
}

void BM_JpegLibjpeg(benchmark::State& state) {
  for (auto _ : state) {
    FILE* f = std::fopen(files().jpeg.c_str(), "rb");
    if (!f) {
      state.SkipWithError("no file");
      break;
    }
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, f);
    jpeg_read_header(&cinfo, TRUE);
    jpeg_start_decompress(&cinfo);
    std::vector<JSAMPLE> pixels(static_cast<size_t>(cinfo.output_width) * cinfo.output_height *
                                static_cast<size_t>(cinfo.output_components));
    while (cinfo.output_scanline < cinfo.output_height) {
      JSAMPROW row = pixels.data() + static_cast<size_t>(cinfo.output_scanline) *
                                         cinfo.output_width *
                                         static_cast<size_t>(cinfo.output_components);
      jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    std::fclose(f);
    benchmark::DoNotOptimize(pixels.data());
  }
  state.SetItemsProcessed(state.iterations() * W * H);
}

BENCHMARK(BM_PngOurs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PngLibpng)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegOurs)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegLibjpeg)->Unit(benchmark::kMillisecond);

}  // namespace
