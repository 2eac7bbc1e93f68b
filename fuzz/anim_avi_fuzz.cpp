// libFuzzer target over the AVI anim reader through the anim file layer.
#include "fuzz/anim_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  animfuzz::Run(data, size, ANIMFILE_AVI);
  return 0;
}
