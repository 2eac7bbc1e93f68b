// The effect table expanded from the X-list (renderer, parameter, name of
// every id), the 145 constants, the effect sets the runner tests, the step
// arithmetic the renderers share and the random pick.
#include <cstdlib>

#include "fx/fx_private.h"
#include "fx/fxlist.h"

namespace {

struct FXRow {
  int32_t id;
  const char* name;
  FXRenderer render;
  int32_t parameter;
};

#define QM_FX_ROW(id, name, render, parameter) {id, name, render, parameter},
constexpr FXRow FX_ROWS[] = {QM_FX_EFFECTS(QM_FX_ROW)};
#undef QM_FX_ROW
static_assert(sizeof(FX_ROWS) / sizeof(FX_ROWS[0]) == FX_LAST_EFFECT + 1, "one row per effect id");

constexpr bool rowsInOrder() {
  for (int32_t i = 0; i <= FX_LAST_EFFECT; i++)
    if (FX_ROWS[i].id != i) return false;
  return true;
}

#define QM_FX_CONSTANT(id, name, render, parameter) {name, nullptr, id},
#define QM_FX_ALIAS(name, id) {name, nullptr, id},
// Every row with a name, the second names, RANDOMPARAMETER: 145 entries.
const ConstantTableEntry FX_CONSTANTS_ALL[] = {
    QM_FX_EFFECTS(QM_FX_CONSTANT) QM_FX_ALIASES(QM_FX_ALIAS){"RANDOMPARAMETER", nullptr, -1},
    {nullptr, nullptr, 0}};
#undef QM_FX_CONSTANT
#undef QM_FX_ALIAS

// The rows without a name (113) are dropped when the table is first asked
// for, so the X-list keeps one row per id.
ConstantTableEntry fxConstants[sizeof(FX_CONSTANTS_ALL) / sizeof(FX_CONSTANTS_ALL[0])];
bool fxConstantsBuilt = false;

}  // namespace

static_assert(rowsInOrder(), "rows in id order");

FXRenderer GetFXRenderer(int32_t effect) {
  if (effect < 0 || effect > FX_LAST_EFFECT) return nullptr;
  return FX_ROWS[effect].render;
}

int32_t GetFXRowParameter(int32_t effect) {
  if (effect < 0 || effect > FX_LAST_EFFECT) return 0;
  return FX_ROWS[effect].parameter;
}

const char* GetFXName(int32_t effect) {
  if (effect < 0 || effect > FX_LAST_EFFECT) return nullptr;
  return FX_ROWS[effect].name;
}

const ConstantTableEntry* GetFXConstants() {
  if (!fxConstantsBuilt) {
    size_t n = 0;
    for (const ConstantTableEntry& entry : FX_CONSTANTS_ALL)
      if (entry.name || &entry == &FX_CONSTANTS_ALL[std::size(FX_CONSTANTS_ALL) - 1])
        fxConstants[n++] = entry;
    fxConstantsBuilt = true;
  }
  return fxConstants;
}

int IsMovingFX(int32_t e) {
  return (e >= 74 && e <= 81) || (e >= 101 && e <= 104) || e == 111 || e == 112 ||
         (e >= 118 && e <= 131) || e == 133;
}

int IsWholeFrameFX(int32_t e) {
  return (e >= 55 && e <= 81) || (e >= 84 && e <= 87) || (e >= 97 && e <= 104) || e == 111 ||
         e == 112 || (e >= 114 && e <= 139);
}

int IsLevelFX(int32_t e) { return (e >= 115 && e <= 117) || (e >= 134 && e <= 138); }

int IsScrollFX(int32_t e) { return e >= 47 && e <= 54; }

int32_t ResolveFXStep(int32_t speed, int32_t extent, int32_t normalDivisor, int32_t fastDivisor,
                      int32_t slowDivisor) {
  int32_t step = speed;
  if (speed == -1)
    step = extent / normalDivisor;
  else if (speed == -2)
    step = extent / fastDivisor;
  else if (speed == -3)
    step = extent / slowDivisor;
  return step < 1 ? 1 : step;
}

int32_t FXStepCount(int32_t n, int32_t step, int32_t exact) {
  if (n < 1) return 1;
  if (step < 1) step = 1;
  int32_t count = n / step + (n % step ? 1 : 0);
  return exact ? count : count + 1;
}

void SplitGateHalves(FXState* state, int32_t n, int32_t step) {
  auto* words = static_cast<int32_t*>(state->priv);
  words[0] = (n + 1) / 2 - step * state->speed;
  words[1] = n / 2 + step * state->speed;
}

int32_t StretchExtentAt(const FXState* state, int32_t frame) {
  int32_t d = frame * state->speed;
  int32_t w = state->width, h = state->height;
  switch (state->effect) {
    case 55:  // STRETCHLEFT
    case 60:  // VSTRETCHCENTER
      return state->reverse ? w - d : d;
    case 56:  // STRETCHRIGHT
      return state->reverse ? d : w - d;
    case 57:  // STRETCHTOP
    case 59:  // HSTRETCHCENTER
      return state->reverse ? h - d : d;
    case 58:  // STRETCHBOTTOM
      return state->reverse ? d : h - d;
    default:
      break;
  }
  if (state->effect >= 61 && state->effect <= 69) {
    int32_t extent = w >= h ? w : h;
    return state->reverse ? extent - d : d;
  }
  return 0;
}

int32_t PickRandomFX(int32_t restricted) {
  for (;;) {
    auto id = static_cast<int32_t>(drand48() * 141.0);
    if (restricted && IsMovingFX(id)) continue;
    if (id == FX_RANDOMALIAS || id == FX_RANDOMEFFECT) continue;
    return id;
  }
}
