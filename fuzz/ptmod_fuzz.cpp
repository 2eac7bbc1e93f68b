// Feeds arbitrary bytes to the Protracker replayer as a module image: init,
// then renders a few hundred rows at a low output rate (many ticks per
// frame rendered) with a position request on the way. The sanitizers catch
// any read outside the image, the player block or the tables.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "media/media.h"
#include "media/media_private.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

constexpr int32_t FUZZ_RATE = 1000;  // 20 frames a tick at tempo 125

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The player may change the image (funk repeat), so it gets a copy.
  std::vector<uint8_t> image(data, data + size);
  size_t need = ModInit(nullptr, image.data(), image.size(), FUZZ_RATE);
  if (need == 0) return 0;
  std::vector<uint64_t> block((need + 7) / 8);
  ModPlayer* player = reinterpret_cast<ModPlayer*>(block.data());
  check(ModInit(player, image.data(), image.size(), FUZZ_RATE) == 1);
  ModSetFlags(player, ModGetFlags(player) | MOD_FLAG_STOPATEND);
  std::vector<int16_t> pcm(2 * 4000);
  for (int round = 0; round < 6; round++) {
    if (round == 3) ModulePositionControl(0, player, size > 950 ? data[950] : 0);
    RenderModuleBlock(player, pcm.data(), 4000);
    int32_t row = ModulePositionControl(1, player, 0);
    int32_t pos = ModulePositionControl(2, player, 0);
    check(row >= 0 && row < 64 && pos >= 0 && pos < 128);
  }
  // Mono 8-bit at the internal rate goes through the same mixer.
  std::vector<int8_t> mono(1000);
  ModRender(player, mono.data(), mono.data(), 1, 1000, 0, 8, 1);
  return 0;
}
