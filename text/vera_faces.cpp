// The three built-in TrueType faces, Debian's unmodified Bitstream Vera
// files, embedded whole at build time (QM_VERA_DIR names their folder).
#include "text/font_private.h"

#ifndef QM_VERA_DIR
#error "QM_VERA_DIR must name the folder of Vera.ttf, VeraSe.ttf and VeraMono.ttf"
#endif

#define QM_EMBED(label, file) \
  asm(".section .rodata\n.balign 16\n.global " #label "\n" #label ":\n.incbin \"" QM_VERA_DIR \
      "/" file "\"\n.global " #label "_end\n" #label "_end:\n.byte 0\n.previous\n")

QM_EMBED(qm_vera_sans, "Vera.ttf");
QM_EMBED(qm_vera_serif, "VeraSe.ttf");
QM_EMBED(qm_vera_mono, "VeraMono.ttf");

extern "C" const uint8_t qm_vera_sans[], qm_vera_sans_end[];
extern "C" const uint8_t qm_vera_serif[], qm_vera_serif_end[];
extern "C" const uint8_t qm_vera_mono[], qm_vera_mono_end[];

const BuiltinFace BUILTIN_FACES[3] = {
    {"Bitstream Vera Sans", qm_vera_sans, 0},
    {"Bitstream Vera Serif", qm_vera_serif, 0},
    {"Bitstream Vera Sans Mono", qm_vera_mono, 0},
};

size_t GetBuiltinFaceSize(int32_t index) {
  switch (index) {
    case 0:
      return size_t(qm_vera_sans_end - qm_vera_sans);
    case 1:
      return size_t(qm_vera_serif_end - qm_vera_serif);
    case 2:
      return size_t(qm_vera_mono_end - qm_vera_mono);
    default:
      return 0;
  }
}
