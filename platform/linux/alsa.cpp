// ALSA playback PCMs of the audio channels: opening "default" without
// blocking, the hardware parameters in numbered steps, level-scaled writes,
// the drain test and recovery after under-runs and suspends. Every ALSA
// function is reached through the desktop-library binding's slots.
// Invariants: a channel's pcm is non-null exactly while its PCM is open;
// the parameter block is freed on every path of SetPcmParameters.
#include <cerrno>
#include <cstring>

#include "platform/linux/desktop_private.h"
#include "platform/linux/dynlib.h"
#include "runtime/runtime.h"

namespace {

snd_pcm_t* asPcm(void* pcm) { return static_cast<snd_pcm_t*>(pcm); }

snd_pcm_format_t alsaFormat(const PcmFormat* format) {
  bool isSigned = format->flags & PCM_SIGNED;
  if (format->bits == 8) return isSigned ? SND_PCM_FORMAT_S8 : SND_PCM_FORMAT_U8;
  bool big = format->flags & PCM_BIGENDIAN;
  if (isSigned) return big ? SND_PCM_FORMAT_S16_BE : SND_PCM_FORMAT_S16_LE;
  return big ? SND_PCM_FORMAT_U16_BE : SND_PCM_FORMAT_U16_LE;
}

// The hardware parameters in eight numbered steps; a failing step gives
// ERR_ALSAPCM with its number as the error argument.
ErrorCode setPcmParameters(snd_pcm_t* pcm, const PcmFormat* format, int32_t rate,
                           uint32_t* bufferFrames) {
  snd_pcm_hw_params_t* params = nullptr;
  if (Dl_snd_pcm_hw_params_malloc(&params) < 0 || !params) return ERR_MEM;
  unsigned int wantRate = static_cast<unsigned int>(rate);
  unsigned int bufferTime = 100000;
  snd_pcm_uframes_t frames = 0;
  int step = 0;
  if (Dl_snd_pcm_hw_params_any(pcm, params) < 0)
    step = 1;
  else if (Dl_snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED) < 0)
    step = 2;
  else if (Dl_snd_pcm_hw_params_set_format(pcm, params, alsaFormat(format)) < 0)
    step = 3;
  else if (Dl_snd_pcm_hw_params_set_rate_near(pcm, params, &wantRate, nullptr) < 0)
    step = 4;
  else if (Dl_snd_pcm_hw_params_set_channels(pcm, params,
                                             static_cast<unsigned int>(format->channels)) < 0)
    step = 5;
  else if (Dl_snd_pcm_hw_params_set_buffer_time_near(pcm, params, &bufferTime, nullptr) < 0)
    step = 6;
  else if (Dl_snd_pcm_hw_params_get_buffer_size(params, &frames) < 0)
    step = 7;
  else if (Dl_snd_pcm_hw_params(pcm, params) < 0)
    step = 8;
  Dl_snd_pcm_hw_params_free(params);
  if (step) {
    SetErrorArgNumber(step);
    return ERR_ALSAPCM;
  }
  *bufferFrames = static_cast<uint32_t>(frames);
  return 0;
}

// value * level / 64, truncated toward zero (integer division does that).
inline int32_t scaled(int32_t value, int32_t level) { return value * level / ALSA_FULL_LEVEL; }

uint16_t swapped(uint16_t v) { return static_cast<uint16_t>((v >> 8) | (v << 8)); }

}  // namespace

ErrorCode OpenAlsaPcm(const PcmFormat* format, int32_t rate, AlsaChannelOutput* out) {
  out->pcm = nullptr;
  if (!DesktopLibraryOpen(DESKTOP_ALSA)) return ERR_OPENAUDIO;
  snd_pcm_t* pcm = nullptr;
  if (Dl_snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0 || !pcm)
    return ERR_OPENAUDIO;
  uint32_t bufferFrames = 0;
  ErrorCode error = setPcmParameters(pcm, format, rate, &bufferFrames);
  if (!error && Dl_snd_pcm_prepare(pcm) < 0) error = ERR_OPENAUDIO;
  if (error) {
    Dl_snd_pcm_close(pcm);
    return error;
  }
  out->pcm = pcm;
  out->bufferFrames = bufferFrames;
  return 0;
}

void CloseAlsaPcm(AlsaChannelOutput* out) {
  if (out->pcm) {
    Dl_snd_pcm_drop(asPcm(out->pcm));
    Dl_snd_pcm_close(asPcm(out->pcm));
  }
  out->pcm = nullptr;
  out->state = 0;
}

long AlsaWriteFrames(int32_t level, int32_t sampleFormat, int swap, void* conversion, void* pcm,
                     uint32_t frames, const void* source) {
  if (level < 0) level = 0;
  if (level >= ALSA_FULL_LEVEL) return Dl_snd_pcm_writei(asPcm(pcm), source, frames);
  if (frames > ALSA_CONVERT_FRAMES) frames = ALSA_CONVERT_FRAMES;
  const int32_t channels = (sampleFormat & 1) ? 2 : 1;
  const size_t values = static_cast<size_t>(frames) * channels;
  if (sampleFormat <= SAMPLE_U8_STEREO) {
    const uint8_t* in = static_cast<const uint8_t*>(source);
    uint8_t* outBytes = static_cast<uint8_t*>(conversion);
    for (size_t i = 0; i < values; i++)
      outBytes[i] = static_cast<uint8_t>(128 + scaled(static_cast<int32_t>(in[i]) - 128, level));
  } else if (sampleFormat <= SAMPLE_S8_STEREO) {
    const int8_t* in = static_cast<const int8_t*>(source);
    int8_t* outBytes = static_cast<int8_t*>(conversion);
    for (size_t i = 0; i < values; i++) outBytes[i] = static_cast<int8_t>(scaled(in[i], level));
  } else {
    const uint16_t* in = static_cast<const uint16_t*>(source);
    uint16_t* outWords = static_cast<uint16_t*>(conversion);
    for (size_t i = 0; i < values; i++) {
      uint16_t raw = in[i];
      if (swap) raw = swapped(raw);
      uint16_t result = static_cast<uint16_t>(scaled(static_cast<int16_t>(raw), level));
      outWords[i] = swap ? swapped(result) : result;
    }
  }
  return Dl_snd_pcm_writei(asPcm(pcm), conversion, frames);
}

int IsAlsaPcmDrained(const AlsaChannelOutput* out) {
  if (Dl_snd_pcm_avail) {
    snd_pcm_sframes_t room = Dl_snd_pcm_avail(asPcm(out->pcm));
    if (room < 0) return 1;
    return room >= static_cast<snd_pcm_sframes_t>(out->bufferFrames) - 25;
  }
  TimeValue now;
  GetSysTime(&now);
  TimeValue since = out->endTime;
  if (CmpTime(&now, &since) < 0) return 0;
  SubTime(&now, &since);
  return now.seconds != 0;
}

void RecoverPcm(void* pcm, int error) {
  if (error == -EPIPE) {
    Dl_snd_pcm_prepare(asPcm(pcm));
  } else if (error == -ESTRPIPE) {
    int result;
    while ((result = Dl_snd_pcm_resume(asPcm(pcm))) == -EAGAIN) Delay(1000);
    if (result < 0) Dl_snd_pcm_prepare(asPcm(pcm));
  }
}
