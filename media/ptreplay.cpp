// Protracker "M.K." replayer: converts a module image into one player block
// and renders it sample by sample at twice the output rate, ticking the
// song (rows, effects, position changes) between internal samples.
// Invariant: everything read from the file was bounded when the block was
// built (sample numbers, song length, sample data and loops), and the
// replayer clamps every value it derives (periods, volumes, note indexes,
// positions), so no file byte indexes a table or the image unchecked.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "media/media.h"
#include "media/media_private.h"

namespace {

// Finetune 0 row of the Amiga period table (three octaves, C-1 to B-3).
constexpr int32_t BASE_PERIODS[MOD_NOTES] = {
    856, 808, 762, 720, 678, 640, 604, 570, 538, 508, 480, 453, 428, 404, 381, 360, 339, 320,
    302, 285, 269, 254, 240, 226, 214, 202, 190, 180, 170, 160, 151, 143, 135, 127, 120, 113};

constexpr int32_t VIBRATO_SINE[32] = {0,   24,  49,  74,  97,  120, 141, 161, 180, 197, 212,
                                      224, 235, 244, 250, 253, 255, 253, 250, 244, 235, 224,
                                      212, 197, 180, 161, 141, 120, 97,  74,  49,  24};

constexpr int32_t FUNK_SPEEDS[16] = {0, 5, 6, 7, 8, 10, 11, 13, 16, 19, 22, 26, 32, 43, 64, 128};

// The clock constant of the step formula: step = CLOCK / (period x rate / 50)
// gives the sample advance per internal sample in 18.14 fixed point.
constexpr int64_t STEP_CLOCK = 1172874197;

struct PeriodTable {
  int32_t rows[16][MOD_NOTES];
  PeriodTable() {
    // Finetune f (0..7 up, 8..15 as -8..-1) raises the pitch by f/8 of a
    // semitone: each row scales the base row by 2^(-f/96), rounded.
    for (int f = 0; f < 16; f++) {
      int fine = f < 8 ? f : f - 16;
      for (int n = 0; n < MOD_NOTES; n++) {
        rows[f][n] =
            f == 0
                ? BASE_PERIODS[n]
                : static_cast<int32_t>(std::lround(BASE_PERIODS[n] * std::pow(2.0, -fine / 96.0)));
      }
    }
  }
};

const PeriodTable& periodTable() {
  static const PeriodTable table;
  return table;
}

uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

int32_t clampInt(int32_t v, int32_t lo, int32_t hi) { return v < lo ? lo : (v > hi ? hi : v); }

// The note of a period in the finetune 0 row: an exact match, else the
// nearest period (ties to the lower note). Always 0..35.
int noteIndex(int32_t period) {
  int best = 0;
  int32_t bestDiff = INT32_MAX;
  for (int n = 0; n < MOD_NOTES; n++) {
    int32_t d = std::abs(BASE_PERIODS[n] - period);
    if (d < bestDiff) {
      bestDiff = d;
      best = n;
    }
  }
  return best;
}

void setStep(ModPlayer* p, ModChannel* ch, int32_t period) {
  if (period <= 0) {
    ch->step = 0;
    return;
  }
  int64_t divisor = static_cast<int64_t>(period) * p->internalRate / 50;
  ch->step = divisor > 0 ? static_cast<uint32_t>(STEP_CLOCK / divisor) : 0;
}

void updateOutput(ModPlayer* p, ModChannel* ch) {
  ch->outPeriod = clampInt(ch->outPeriod, MOD_PERIOD_MIN, MOD_PERIOD_MAX);
  setStep(p, ch, ch->period == 0 ? 0 : ch->outPeriod);
}

void setBasePeriod(ModPlayer* p, ModChannel* ch, int32_t period) {
  ch->period = clampInt(period, MOD_PERIOD_MIN, MOD_PERIOD_MAX);
  ch->outPeriod = ch->period;
  updateOutput(p, ch);
}

bool sampleUsable(const ModSample& s) { return s.data != nullptr && s.length > 0; }

// Starts the channel's instrument from its beginning (or the sample offset
// given on this row); a sample without usable data leaves the channel silent.
void startSample(ModPlayer* p, ModChannel* ch, int64_t offsetBytes) {
  ch->sample = ch->instrument;
  ch->pending = 0;
  const ModSample& s = p->samples[ch->sample];
  int64_t offset = offsetBytes << MOD_FIX;
  ch->position = sampleUsable(s) && offset < s.length ? offset : -1;
  if (ch->vibWave < 4) ch->vibPos = 0;
  if (ch->tremWave < 4) ch->tremPos = 0;
}

// Plays raw (a period from the file) as a new note on the channel.
void triggerNote(ModPlayer* p, ModChannel* ch, uint32_t raw) {
  int n = noteIndex(static_cast<int32_t>(raw));
  setBasePeriod(p, ch, periodTable().rows[ch->finetune & 15][n]);
  int64_t offset = 0;
  if (ch->effect == 9) {
    if (ch->param) ch->offsetMemory = ch->param * 256;
    offset = ch->offsetMemory;
  }
  startSample(p, ch, offset);
}

void songEnded(ModPlayer* p) {
  p->flags |= MOD_FLAG_ENDED;
  if (p->flags & MOD_FLAG_STOPATEND) p->songEndCount++;
}

void storeRelaxed(int32_t* field, int32_t value) {
  __atomic_store_n(field, value, __ATOMIC_RELAXED);
}

void advancePosition(ModPlayer* p) {
  int32_t pos = p->songPos + 1;
  if (pos >= p->songLength) {
    pos = 0;
    songEnded(p);
  }
  storeRelaxed(&p->songPos, pos);
}

// Moves to the row after the one just played, honouring loops, jumps and
// breaks of that row.
void nextRow(ModPlayer* p) {
  if (p->loopJump) {
    storeRelaxed(&p->row, p->loopJumpRow);
  } else if (p->jumpFlag) {
    int32_t target = p->jumpTarget;
    bool ended = false;
    if (target >= p->songLength) {
      target = 0;
      ended = true;
    } else if (target <= p->songPos) {
      ended = true;
    }
    storeRelaxed(&p->songPos, target);
    storeRelaxed(&p->row, p->breakFlag ? p->breakRow : 0);
    if (ended) songEnded(p);
  } else if (p->breakFlag) {
    storeRelaxed(&p->row, p->breakRow);
    advancePosition(p);
  } else if (p->row + 1 >= MOD_ROWS) {
    storeRelaxed(&p->row, 0);
    advancePosition(p);
  } else {
    storeRelaxed(&p->row, p->row + 1);
  }
  p->loopJump = p->jumpFlag = p->breakFlag = 0;
}

void volumeSlideParams(ModChannel* ch) { ch->volSlide = ch->x ? ch->x : -ch->y; }

void applyVolumeSlide(ModChannel* ch) {
  ch->volume = clampInt(ch->volume + ch->volSlide, 0, MOD_VOLUME_MAX);
}

int32_t waveValue(int32_t wave, int32_t pos) {
  int32_t v;
  switch (wave & 3) {
    case 1:
      v = pos * 8;
      return pos >= 32 ? v - 512 : v;
    case 2:
      v = 255;
      break;
    default:
      v = VIBRATO_SINE[pos & 31];
      break;
  }
  return pos >= 32 ? -v : v;
}

void tonePortamento(ModChannel* ch) {
  if (ch->portaTarget == 0 || ch->period == 0) return;
  if (ch->period < ch->portaTarget) {
    ch->period = std::min(ch->period + ch->portaSpeed, ch->portaTarget);
  } else if (ch->period > ch->portaTarget) {
    ch->period = std::max(ch->period - ch->portaSpeed, ch->portaTarget);
  }
  ch->outPeriod = ch->period;
}

void vibrato(ModChannel* ch) {
  ch->vibPos = (ch->vibPos + ch->vibSpeed) & 63;
  ch->outPeriod = ch->period + ((waveValue(ch->vibWave, ch->vibPos) * ch->vibDepth) >> 7);
}

void tremolo(ModChannel* ch) {
  ch->tremPos = (ch->tremPos + ch->tremSpeed) & 63;
  ch->outVolume =
      clampInt(ch->volume + ((waveValue(ch->tremWave, ch->tremPos) * 2 * ch->tremDepth) >> 8), 0,
               MOD_VOLUME_MAX);
}

// Inverts one byte of the playing sample's loop whenever the accumulator,
// advanced by the funk speed each tick, reaches 128.
void funkRepeat(ModPlayer* p, ModChannel* ch) {
  if (ch->funkSpeed == 0) return;
  ch->funkAcc += ch->funkSpeed;
  if (ch->funkAcc < 128) return;
  ch->funkAcc = 0;
  ModSample& s = p->samples[ch->sample];
  if (!sampleUsable(s) || s.loopLength == 0) return;
  int64_t loopBytes = s.loopLength >> MOD_FIX;
  ch->funkPos = static_cast<int32_t>((ch->funkPos + 1) % loopBytes);
  // A player that only follows another one's sound must not invert the
  // bytes a second time: they are shared through the image.
  if (p->counting) return;
  int8_t* b = s.data + (s.loopStart >> MOD_FIX) + ch->funkPos;
  *b = static_cast<int8_t>(-1 - *b);
}

// Tick 0 of a row: notes, samples and the row effects of every channel.
void processRow(ModPlayer* p) {
  const ModNote* notes =
      p->notes + (static_cast<size_t>(p->order[p->songPos]) * MOD_ROWS + p->row) * MOD_CHANNELS;
  for (int c = 0; c < MOD_CHANNELS; c++) {
    ModChannel* ch = &p->channels[c];
    const ModNote& n = notes[c];
    ch->effect = n.effect;
    ch->x = n.x;
    ch->y = n.y;
    ch->param = n.param;
    ch->delayPeriod = 0;
    bool porta = n.effect == 3 || n.effect == 5;
    bool delayed = n.effect == 14 && n.x == 13 && n.y > 0;
    if (n.sample) {
      ch->instrument = static_cast<int32_t>(n.sample);
      ch->volume = std::min(p->samples[n.sample].volume, MOD_VOLUME_MAX);
      if ((n.period == 0 || porta) && ch->position >= 0 && ch->sample != ch->instrument)
        ch->pending = ch->instrument;
    }
    if (n.period) {
      ch->finetune = n.effect == 14 && n.x == 5 ? n.y : p->samples[ch->instrument].finetune;
      if (porta) {
        ch->portaTarget =
            periodTable().rows[ch->finetune & 15][noteIndex(static_cast<int32_t>(n.period))];
      } else if (delayed) {
        ch->delayPeriod = n.period;
        ch->delayTick = n.y;
      } else {
        triggerNote(p, ch, n.period);
      }
    }
    ch->outPeriod = ch->period;
    ch->outVolume = ch->volume;
    switch (n.effect) {
      case 1:
        ch->slide = -static_cast<int32_t>(n.param);
        break;
      case 2:
        ch->slide = n.param;
        break;
      case 3:
        if (n.param) ch->portaSpeed = n.param;
        break;
      case 4:
        if (n.x) ch->vibSpeed = n.x;
        if (n.y) ch->vibDepth = n.y;
        break;
      case 5:
      case 6:
      case 10:
        volumeSlideParams(ch);
        break;
      case 7:
        if (n.x) ch->tremSpeed = n.x;
        if (n.y) ch->tremDepth = n.y;
        break;
      case 11:
        p->jumpFlag = 1;
        p->jumpTarget = n.param;
        break;
      case 12:
        ch->volume = ch->outVolume = std::min<int32_t>(n.param, MOD_VOLUME_MAX);
        break;
      case 13: {
        int32_t r = n.x * 10 + n.y;
        p->breakFlag = 1;
        p->breakRow = r > MOD_ROWS - 1 ? 0 : r;
        break;
      }
      case 14:
        switch (n.x) {
          case 0:
            p->filterOn = n.y == 0;
            break;
          case 1:
            if (ch->period) setBasePeriod(p, ch, ch->period - n.y);
            break;
          case 2:
            if (ch->period) setBasePeriod(p, ch, ch->period + n.y);
            break;
          case 3:
            ch->glissando = n.y != 0;
            break;
          case 4:
            ch->vibWave = n.y & 7;
            break;
          case 6:
            if (n.y == 0) {
              ch->loopRow = p->row;
            } else if (ch->loopCount == 0) {
              ch->loopCount = n.y;
              p->loopJump = 1;
              p->loopJumpRow = ch->loopRow;
            } else if (--ch->loopCount > 0) {
              p->loopJump = 1;
              p->loopJumpRow = ch->loopRow;
            }
            break;
          case 7:
            ch->tremWave = n.y & 7;
            break;
          case 9:
            ch->retrigger = n.y;
            break;
          case 10:
            ch->volume = ch->outVolume = std::min<int32_t>(ch->volume + n.y, MOD_VOLUME_MAX);
            break;
          case 11:
            ch->volume = ch->outVolume = std::max<int32_t>(ch->volume - n.y, 0);
            break;
          case 12:
            ch->cutTick = n.y;
            if (n.y == 0) ch->volume = ch->outVolume = 0;
            break;
          case 14:
            if (p->patternDelay == 0) p->patternDelay = n.y;
            break;
          case 15:
            ch->funkSpeed = FUNK_SPEEDS[n.y];
            break;
          default:
            break;
        }
        break;
      case 15:
        if (n.param == 0) {
          songEnded(p);
        } else if (n.param < 32) {
          p->speed = n.param;
        } else {
          p->tempo = n.param;
          p->samplesPerTick =
              static_cast<uint32_t>(static_cast<int64_t>(p->internalRate) * 60 / (p->tempo * 24));
        }
        break;
      default:
        break;
    }
    updateOutput(p, ch);
    funkRepeat(p, ch);
  }
}

// Ticks after the first of a row (and every tick of a delayed row's
// repeats): the continuous effects.
void processTick(ModPlayer* p) {
  const PeriodTable& table = periodTable();
  for (int c = 0; c < MOD_CHANNELS; c++) {
    ModChannel* ch = &p->channels[c];
    ch->outPeriod = ch->period;
    ch->outVolume = ch->volume;
    switch (ch->effect) {
      case 0:
        if (ch->param && ch->period) {
          // The arpeggio counter counts down from speed - 1 within a row.
          int phase = (p->speed - 1 - p->tick) % 3;
          if (phase < 0) phase += 3;
          int n = noteIndex(ch->period) + (phase == 0 ? 0 : phase == 1 ? ch->x : ch->y);
          ch->outPeriod = table.rows[ch->finetune & 15][std::min(n, MOD_NOTES - 1)];
        }
        break;
      case 1:
      case 2:
        if (ch->period) {
          int32_t period = clampInt(ch->period + ch->slide, MOD_PERIOD_MIN, MOD_PERIOD_MAX);
          if (ch->glissando) {
            const int32_t* row = table.rows[ch->finetune & 15];
            int n = 0;
            while (n < MOD_NOTES - 1 && row[n] > period) n++;
            period = row[n];
          }
          setBasePeriod(p, ch, period);
        }
        break;
      case 3:
        tonePortamento(ch);
        break;
      case 4:
        vibrato(ch);
        break;
      case 5:
        tonePortamento(ch);
        applyVolumeSlide(ch);
        ch->outVolume = ch->volume;
        break;
      case 6:
        vibrato(ch);
        applyVolumeSlide(ch);
        ch->outVolume = ch->volume;
        break;
      case 7:
        tremolo(ch);
        break;
      case 10:
        applyVolumeSlide(ch);
        ch->outVolume = ch->volume;
        break;
      case 14:
        if (ch->x == 9 && ch->retrigger > 0 && p->tick % ch->retrigger == 0) {
          startSample(p, ch, 0);
        } else if (ch->x == 12 && p->tick == ch->cutTick) {
          ch->volume = ch->outVolume = 0;
        } else if (ch->x == 13 && p->tick == ch->delayTick && ch->delayPeriod) {
          triggerNote(p, ch, ch->delayPeriod);
          ch->delayPeriod = 0;
        }
        break;
      default:
        break;
    }
    ch->period = clampInt(ch->period, ch->period ? MOD_PERIOD_MIN : 0, MOD_PERIOD_MAX);
    updateOutput(p, ch);
    funkRepeat(p, ch);
  }
}

// Starts a tick: the row ends once speed ticks were played (then the row
// repeats for a pattern delay or the song moves on), so a position change
// happens at the start of the following tick, after the row sounded whole.
void doTick(ModPlayer* p) {
  if (p->tick >= p->speed) {
    p->tick = 0;
    if (p->patternDelay > 0) {
      p->patternDelay--;
      p->repeating = 1;
    } else {
      p->repeating = 0;
      nextRow(p);
    }
  }
  if (p->tick == 0 && !p->repeating) {
    processRow(p);
  } else {
    processTick(p);
  }
  p->tick++;
  p->samplesLeft = p->samplesPerTick > 0 ? p->samplesPerTick : 1;
}

// One internal sample of both sides, after scaling, filter and clamping.
void renderInternal(ModPlayer* p, int32_t* left, int32_t* right) {
  if ((p->flags & MOD_FLAG_STOPATEND) && p->songEndCount != 0) {
    *left = *right = 0;
    return;
  }
  if (p->samplesLeft == 0) doTick(p);
  p->samplesLeft--;
  int64_t sumL = 0, sumR = 0;
  for (int c = 0; c < MOD_CHANNELS; c++) {
    ModChannel* ch = &p->channels[c];
    if (ch->position < 0) continue;
    const ModSample* s = &p->samples[ch->sample];
    if (!sampleUsable(*s)) {
      ch->position = -1;
      continue;
    }
    int32_t value = s->data[ch->position >> MOD_FIX] * ch->outVolume;
    sumL += static_cast<int64_t>(value) * ch->panning;
    sumR += static_cast<int64_t>(value) * (255 - ch->panning);
    ch->position += ch->step;
    if (s->loopLength > 0) {
      if (ch->position >= s->loopEnd) {
        ch->position = s->loopStart + (ch->position - s->loopStart) % s->loopLength;
        if (ch->pending) {
          // A sample number given without a note takes over at the loop's
          // end; a new sample without a loop stops the channel.
          ch->sample = ch->pending;
          ch->pending = 0;
          const ModSample& n = p->samples[ch->sample];
          ch->position = sampleUsable(n) && n.loopLength > 0 ? n.loopStart : -1;
        }
      }
    } else if (ch->position >= s->length) {
      ch->position = -1;
    }
  }
  double side[2] = {static_cast<double>(sumL >> 7), static_cast<double>(sumR >> 7)};
  if (p->filterOn) {
    for (int k = 0; k < 2; k++) {
      double in = side[k];
      for (int sec = 0; sec < 2; sec++) {
        double out = p->filterOut[k][sec] * p->filterA + (in + p->filterIn[k][sec]) * p->filterGain;
        p->filterIn[k][sec] = in;
        p->filterOut[k][sec] = out;
        in = out;
      }
      side[k] = in;
    }
  }
  *left = static_cast<int32_t>(std::fmax(-32768.0, std::fmin(32767.0, side[0])));
  *right = static_cast<int32_t>(std::fmax(-32768.0, std::fmin(32767.0, side[1])));
}

// The sample position after n internal samples, as n calls of the mixing
// loop would leave it, without reading a byte: whole runs of steps up to
// the next loop end (or the sample's end) at a time.
void stepChannel(ModPlayer* p, ModChannel* ch, uint64_t n) {
  while (n > 0 && ch->position >= 0) {
    const ModSample* s = &p->samples[ch->sample];
    if (!sampleUsable(*s)) {
      ch->position = -1;
      return;
    }
    const bool loops = s->loopLength > 0;
    const int64_t limit = loops ? s->loopEnd : s->length;
    const int64_t step = ch->step;
    // The steps until the position reaches the limit (at least one: a
    // sample offset may start a channel past its loop's end).
    uint64_t k;
    if (ch->position + step >= limit) {
      k = 1;
    } else if (step == 0) {
      return;
    } else {
      k = static_cast<uint64_t>((limit - ch->position + step - 1) / step);
    }
    if (k > n) {
      ch->position += static_cast<int64_t>(n) * step;
      return;
    }
    ch->position += static_cast<int64_t>(k) * step;
    n -= k;
    if (!loops) {
      ch->position = -1;
      return;
    }
    ch->position = s->loopStart + (ch->position - s->loopStart) % s->loopLength;
    if (ch->pending) {
      ch->sample = ch->pending;
      ch->pending = 0;
      const ModSample& next = p->samples[ch->sample];
      ch->position = sampleUsable(next) && next.loopLength > 0 ? next.loopStart : -1;
    }
  }
}

// Plays `samples` internal samples without mixing: ticks, rows and effects
// as renderInternal takes them, and every channel's sample position.
void advanceInternal(ModPlayer* p, uint64_t samples) {
  p->counting = 1;
  while (samples > 0) {
    if ((p->flags & MOD_FLAG_STOPATEND) && p->songEndCount != 0) break;
    const bool tickStarts = p->samplesLeft == 0;
    if (tickStarts) doTick(p);
    uint64_t n = samples < p->samplesLeft ? samples : p->samplesLeft;
    // A tick that ends the song still plays its first sample; the next
    // one is silent.
    if (tickStarts && (p->flags & MOD_FLAG_STOPATEND) && p->songEndCount != 0) n = 1;
    p->samplesLeft -= static_cast<uint32_t>(n);
    for (int c = 0; c < MOD_CHANNELS; c++) stepChannel(p, &p->channels[c], n);
    samples -= n;
  }
  p->counting = 0;
}

void writeValue(void* out, int32_t bits, int32_t value) {
  value = clampInt(value, -32768, 32767);
  if (bits == 8) {
    *static_cast<int8_t*>(out) = static_cast<int8_t>(value >> 8);
  } else {
    *static_cast<int16_t*>(out) = static_cast<int16_t>(value);
  }
}

}  // namespace

size_t ModInit(ModPlayer* player, uint8_t* image, size_t imageSize, int32_t rate) {
  if (image == nullptr || imageSize < MOD_HEADER_BYTES || rate <= 0 || rate > 1000000) return 0;
  int patterns = 0;
  for (int i = 0; i < MOD_ORDERS; i++) patterns = std::max(patterns, image[952 + i] + 1);
  size_t sampleStart = MOD_HEADER_BYTES + static_cast<size_t>(patterns) * MOD_PATTERN_FILE_BYTES;
  if (imageSize < sampleStart) return 0;
  size_t noteBytes = static_cast<size_t>(patterns) * MOD_ROWS * MOD_CHANNELS * sizeof(ModNote);
  if (player == nullptr) return sizeof(ModPlayer) + noteBytes;

  ModPlayer* p = new (player) ModPlayer();
  p->notes = reinterpret_cast<ModNote*>(reinterpret_cast<uint8_t*>(player) + sizeof(ModPlayer));
  std::memset(p->notes, 0, noteBytes);
  p->patterns = patterns;
  p->image = image;
  p->imageSize = imageSize;
  for (int c = 0; c < MOD_CHANNELS; c++) {
    p->channels[c].position = -1;
    p->channels[c].panning = (c == 1 || c == 2) ? 255 : 0;
  }
  p->masterVolume = 256;
  p->internalRate = 2 * rate;
  p->flags = 4;

  const double pi = 3.14159265358979323846;
  double t = std::atan(2.0 * pi * 2000.0 / p->internalRate);
  p->filterA = (1.0 - t) / (1.0 + t);
  p->filterGain = (1.0 - p->filterA) / 2.0;

  std::memcpy(p->title, image, 20);
  size_t dataOffset = sampleStart;
  for (int i = 1; i <= MOD_SAMPLES; i++) {
    const uint8_t* h = image + 20 + (i - 1) * 30;
    ModSample& s = p->samples[i];
    std::memcpy(s.name, h, 22);
    int64_t length = static_cast<int64_t>(be16(h + 22)) * 2;
    s.finetune = h[24] & 15;
    s.volume = h[25];
    int64_t loopStart = static_cast<int64_t>(be16(h + 26)) * 2;
    int64_t loopLength = static_cast<int64_t>(be16(h + 28)) * 2;
    // Data runs in sample order after the patterns; a sample running past
    // the image's end is cut there, and a loop is cut to the sample.
    int64_t present = dataOffset < imageSize ? static_cast<int64_t>(imageSize - dataOffset) : 0;
    int64_t usable = std::min(length, present);
    s.data = usable > 0 ? reinterpret_cast<int8_t*>(image + dataOffset) : nullptr;
    s.length = usable << MOD_FIX;
    dataOffset += static_cast<size_t>(std::min(length, present));
    if (loopLength > 2 && loopStart < usable) {
      int64_t loopEnd = std::min(loopStart + loopLength, usable);
      if (loopEnd - loopStart > 2) {
        s.loopStart = loopStart << MOD_FIX;
        s.loopEnd = loopEnd << MOD_FIX;
        s.loopLength = s.loopEnd - s.loopStart;
      }
    }
  }

  int songLength = image[950];
  p->songLength = clampInt(songLength, 1, MOD_ORDERS);
  std::memcpy(p->order, image + 952, MOD_ORDERS);
  const uint8_t* src = image + MOD_HEADER_BYTES;
  size_t count = static_cast<size_t>(patterns) * MOD_ROWS * MOD_CHANNELS;
  for (size_t i = 0; i < count; i++, src += 4) {
    ModNote& n = p->notes[i];
    n.period = static_cast<uint32_t>((src[0] & 15) << 8 | src[1]);
    uint32_t sample = (src[0] & 0xF0) + (src[2] >> 4);
    n.sample = sample > MOD_SAMPLES ? 0 : sample;
    n.effect = src[2] & 15;
    n.param = src[3];
    n.x = src[3] >> 4;
    n.y = src[3] & 15;
  }

  p->speed = 6;
  p->tempo = 125;
  p->samplesPerTick = static_cast<uint32_t>(p->internalRate / 50);
  return 1;
}

void ModRender(ModPlayer* player, void* left, void* right, int32_t stride, uint32_t frames,
               int32_t halfRate, int32_t bits, int32_t channels) {
  uint8_t* outL = static_cast<uint8_t*>(left);
  uint8_t* outR = static_cast<uint8_t*>(right);
  for (uint32_t f = 0; f < frames; f++) {
    int32_t l, r;
    if (halfRate) {
      int32_t l1, r1, l2, r2;
      renderInternal(player, &l1, &r1);
      renderInternal(player, &l2, &r2);
      l = ((l1 + l2) * player->masterVolume) >> 9;
      r = ((r1 + r2) * player->masterVolume) >> 9;
    } else {
      renderInternal(player, &l, &r);
      l = (l * player->masterVolume) >> 8;
      r = (r * player->masterVolume) >> 8;
    }
    if (channels == 2) {
      writeValue(outL, bits, l);
      writeValue(outR, bits, r);
    } else {
      writeValue(outL, bits, (l + r) >> 1);
    }
    outL += stride;
    outR += stride;
  }
}

void ModJumpTo(ModPlayer* player, int32_t position, int32_t row) {
  storeRelaxed(&player->songPos, position >= 0 && position < player->songLength ? position : 0);
  storeRelaxed(&player->row, clampInt(row, 0, MOD_ROWS - 1));
  player->tick = 0;
  player->repeating = 0;
  player->patternDelay = 0;
  player->breakFlag = player->jumpFlag = player->loopJump = 0;
  player->samplesLeft = 0;
}

int ModTakeRequest(ModPlayer* player, int32_t* position, int32_t* row) {
  // Cleared before the values are read: a request made meanwhile sets the
  // flag again and is taken next time.
  if (!__atomic_exchange_n(&player->requestFlag, 0, __ATOMIC_ACQ_REL)) return 0;
  *position = __atomic_load_n(&player->requestPos, __ATOMIC_RELAXED);
  *row = __atomic_load_n(&player->requestRow, __ATOMIC_RELAXED);
  return 1;
}

void ModRequestPosition(ModPlayer* player, int32_t position, int32_t row) {
  __atomic_store_n(&player->requestPos, position, __ATOMIC_RELAXED);
  __atomic_store_n(&player->requestRow, row, __ATOMIC_RELAXED);
  __atomic_store_n(&player->requestFlag, 1, __ATOMIC_RELEASE);
}

void RenderModuleBlock(ModPlayer* player, int16_t* buffer, uint32_t frames) {
  int32_t position, row;
  if (ModTakeRequest(player, &position, &row)) ModJumpTo(player, position, row);
  if (buffer)
    ModRender(player, buffer, buffer + 1, 4, frames, 1, 16, 2);
  else
    advanceInternal(player, uint64_t{frames} * 2);  // two internal samples a frame
}

size_t ModStateSize(const ModPlayer* player) {
  return sizeof(ModPlayer) +
         static_cast<size_t>(player->patterns) * MOD_ROWS * MOD_CHANNELS * sizeof(ModNote);
}

void ModCopyState(ModPlayer* to, const ModPlayer* from) {
  std::memcpy(static_cast<void*>(to), from, ModStateSize(from));
  to->notes = reinterpret_cast<ModNote*>(reinterpret_cast<uint8_t*>(to) + sizeof(ModPlayer));
  to->requestFlag = 0;
  to->counting = 0;
}

int32_t ModulePositionControl(int32_t what, ModPlayer* module, int32_t value) {
  if (module == nullptr) return -1;
  switch (what) {
    case 0:
      ModRequestPosition(module, value, 0);
      return 0;
    case 1:
      return __atomic_load_n(&module->row, __ATOMIC_RELAXED);
    case 2:
      return __atomic_load_n(&module->songPos, __ATOMIC_RELAXED);
    default:
      return -1;
  }
}

uint32_t ModGetFlags(const ModPlayer* player) { return player->flags; }

void ModSetFlags(ModPlayer* player, uint32_t flags) { player->flags = flags; }

uint8_t* ModGetImage(const ModPlayer* player, size_t* size) {
  if (size) *size = player->imageSize;
  return player->image;
}
