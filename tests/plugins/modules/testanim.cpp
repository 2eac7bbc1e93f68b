// Test plug-in "testanim": an anim loader of its own format, read through
// the host's stream layer: "QMTA", then bytes width, height, frame count,
// flags (bit 0: frames carry alpha; bit 1: frames use a transparent colour)
// and a delay in milliseconds. Frame k's pixel i is 0x40000000 + k x
// 0x010000 + i. Built a second time as "testanimnamed" (TESTANIM_NAMED),
// which asks to be used only where a loader string names it. TestAnimCalls
// tells the tests how often OpenAnim was called and how many anims and
// frames are still open.
#include <cstdint>
#include <cstring>

#include "plugins/qmplugin.h"

namespace {

const PluginHostApi* host = nullptr;
int openCalls = 0, liveAnims = 0, liveFrames = 0;

struct Anim {
  int32_t width, height, frames, flags, delay;
};

}  // namespace

extern "C" {

int InitPlugin(PluginBase* base, const PluginHostApi* api, const char*) {
  host = api;
  base->capabilities = PLUGINCAPS_ANIM;
#ifdef TESTANIM_NAMED
  base->capabilities |= PLUGINCAPS_EXTENSION;
  base->moduleName = "testanimnamed";
#else
  base->moduleName = "testanim";
#endif
  base->version = 1;
  return 1;
}

void ClosePlugin() {}

#ifdef TESTANIM_NAMED
uint32_t GetExtensions(uint32_t capability, uintptr_t) {
  return capability == PLUGINCAPS_ANIM ? QM_LOADEREXT_NAMEDONLY : 0;
}
#endif

void* OpenAnim(const char* name, QmAnimOpenRecord* record) {
  openCalls++;
  QmStream* s = host->file->openStream(name, 0);
  if (!s) return nullptr;
  uint8_t h[9];
  const bool ours = host->file->readStream(s, h, 9) == 9 && std::memcmp(h, "QMTA", 4) == 0 &&
                    h[4] && h[5] && h[6];
  host->file->closeStream(s);
  if (!ours) return nullptr;
  auto* anim = static_cast<Anim*>(host->system->allocMemory(sizeof(Anim), 1));
  if (!anim) return nullptr;
  *anim = {h[4], h[5], h[6], h[7], h[8]};
  record->width = anim->width;
  record->height = anim->height;
  record->frameCount = anim->frames;
  record->hasAlpha = anim->flags & 1;
  liveAnims++;
  return anim;
}

uint32_t* LoadFrame(void* handle, int32_t index, QmAnimFrameRecord* record, uintptr_t) {
  auto* anim = static_cast<Anim*>(handle);
  if (index < 0 || index >= anim->frames) return nullptr;
  const size_t n = static_cast<size_t>(anim->width) * static_cast<size_t>(anim->height);
  auto* pixels = static_cast<uint32_t*>(host->system->allocMemory(n * 4, 0));
  if (!pixels) return nullptr;
  for (size_t i = 0; i < n; i++)
    pixels[i] = 0x40000000u + static_cast<uint32_t>(index) * 0x010000u + static_cast<uint32_t>(i);
  record->transparent = (anim->flags & 2) ? 1 : 0;
  liveFrames++;
  return pixels;
}

void FreeFrame(uint32_t* frame) {
  host->system->freeMemory(frame);
  liveFrames--;
}

int32_t GetFrameDelay(void* handle, int32_t) { return static_cast<Anim*>(handle)->delay; }

void CloseAnim(void* handle) {
  host->system->freeMemory(handle);
  liveAnims--;
}

void TestAnimCalls(int* opens, int* anims, int* frames) {
  *opens = openCalls;
  *anims = liveAnims;
  *frames = liveFrames;
}

}  // extern "C"
