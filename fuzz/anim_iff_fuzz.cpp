// libFuzzer target over the IFF ANIM reader through the anim file layer;
// the input's length chooses the deinterlace mode and load transparency.
#include "fuzz/anim_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  animfuzz::Run(data, size, ANIMFILE_IFF);
  return 0;
}
