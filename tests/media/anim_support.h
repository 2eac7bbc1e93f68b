// Helpers of the anim reader tests: frames of an anim file through the anim
// file layer, and the generator of IFF ANIM fixtures run into a directory.
#pragma once

#include <string>
#include <vector>

#include "media/media.h"
#include "tests/media/image_support.h"

namespace animtest {

struct AnimFrames {
  ErrorCode error = -1;
  int32_t width = 0, height = 0, count = 0, hasAlpha = 0;
  std::vector<std::vector<uint32_t>> frames;
  std::vector<int32_t> delays;  // read after every frame was decoded
  std::vector<int32_t> transparency;
};

// Opens a file through the anim file layer and reads every frame in order;
// a frame that fails ends the list early.
inline AnimFrames ReadAnim(const std::string& path, int32_t deinterlace = DEINTERLACE_DEFAULT,
                           int32_t loadTransparency = 0, const char* loader = nullptr) {
  AnimFrames a;
  AnimFile* anim = nullptr;
  a.error = OpenAnimFile(path.c_str(), loader, nullptr, deinterlace, loadTransparency, &anim,
                         &a.width, &a.height, &a.count, &a.hasAlpha, nullptr, nullptr);
  if (a.error) return a;
  const size_t n = static_cast<size_t>(a.width) * static_cast<size_t>(a.height);
  for (int32_t i = 0; i < a.count; i++) {
    int32_t transparent = 0;
    uint32_t* p = GetAnimFileFrame(anim, i, 0, &transparent);
    if (!p) break;
    a.frames.emplace_back(p, p + n);
    a.transparency.push_back(transparent);
    FreeAnimFileFrame(anim, p);
  }
  for (int32_t i = 0; i < a.count; i++) a.delays.push_back(GetAnimFileFrameDelay(anim, i));
  CloseAnimFile(anim);
  return a;
}

// Splits frames of width x height words out of one buffer.
inline std::vector<std::vector<uint32_t>> SplitFrames(const std::vector<uint32_t>& all,
                                                      size_t pixels) {
  std::vector<std::vector<uint32_t>> out;
  for (size_t at = 0; pixels && at + pixels <= all.size(); at += pixels)
    out.emplace_back(all.begin() + static_cast<long>(at),
                     all.begin() + static_cast<long>(at + pixels));
  return out;
}

// ffmpeg's frames of a file as RGB words with alpha 0.
inline std::vector<std::vector<uint32_t>> FfmpegFrames(const std::string& path, int32_t w,
                                                       int32_t h) {
  std::string rgb = imagetest::Shell("ffmpeg -v error -i '" + path +
                                     "' -fps_mode passthrough -f rawvideo -pix_fmt rgb24 -");
  return SplitFrames(imagetest::Words(rgb, 3), static_cast<size_t>(w) * static_cast<size_t>(h));
}

}  // namespace animtest
