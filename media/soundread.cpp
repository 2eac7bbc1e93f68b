// Built-in sound readers: IFF 8SVX (8-bit), IFF 16SV (16-bit big-endian)
// and RIFF WAVE (PCM, 8 or 16 bits, mono or stereo), reading through the
// stream layer. Each parse fills the SoundStream's format fields; block
// reads and seeks work on frame positions.
// Invariant: frames never exceeds the frames the file holds when its size
// is known, and a block read never reports more frames than it really read:
// a short read ends the stream, and the unread rest of the caller's buffer
// is silence.
#include <algorithm>
#include <cstring>

#include "media/media.h"
#include "media/media_private.h"

namespace {

StreamHandle* fileOf(SoundStream* s) { return static_cast<StreamHandle*>(s->source); }

ErrorCode refuse(SoundStream* s) {
  CloseFileStream(fileOf(s));
  s->source = nullptr;
  return ERR_OPENSOUND2;
}

bool readExact(StreamHandle* f, void* buffer, size_t n) { return ReadStream(f, buffer, n) == n; }

bool readU32(StreamHandle* f, bool bigEndian, uint32_t* value) {
  uint8_t b[4];
  if (!readExact(f, b, 4)) return false;
  *value = bigEndian ? (uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3])
                     : (uint32_t{b[3]} << 24 | uint32_t{b[2]} << 16 | uint32_t{b[1]} << 8 | b[0]);
  return true;
}

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

bool skip(StreamHandle* f, int64_t bytes) { return bytes == 0 || SeekFileStream(f, bytes, 0) >= 0; }

// Bytes of sample data present after the data start, or -1 when the size
// of the file cannot be told.
int64_t bytesPresent(SoundStream* s) {
  int64_t size = GetStreamSize(fileOf(s));
  if (size < 0) return -1;
  return std::max<int64_t>(0, size - s->dataStart);
}

void setFrames(SoundStream* s, uint32_t frames) {
  s->frames = frames;
  s->streamFrames = frames;
  s->byteLength = frames * static_cast<uint32_t>(s->bytesPerFrame);
  s->outputBytesPerFrame = s->bytesPerFrame;
  s->framesPerUnit = 1;
  s->position = 0;
  s->seekable = IsStreamNoSeek(fileOf(s)) ? 0 : 1;
}

// Ends a block read: got frames were produced out of wanted; the rest of the
// buffer becomes silence of the output format.
uint32_t finishBlock(SoundStream* s, void* buffer, uint32_t wanted, uint32_t got, bool ended,
                     uint8_t silence, int32_t* done) {
  size_t bpf = static_cast<size_t>(s->bytesPerFrame);
  if (got < wanted)
    std::memset(static_cast<uint8_t*>(buffer) + got * bpf, silence, (wanted - got) * bpf);
  s->position += got;
  if (ended) s->position = std::max(s->position, s->frames);
  s->lastFrames = got;
  s->lastBytes = static_cast<uint32_t>(got * bpf);
  if (done) *done = got < wanted ? 1 : 0;
  return got;
}

// ---- IFF 8SVX and 16SV ----

ErrorCode parseIff(SoundStream* s, int bits) {
  StreamHandle* f = fileOf(s);
  uint32_t vhdrSize = 0;
  if (SeekFileStream(f, 16, 1) < 0 || !readU32(f, true, &vhdrSize) || vhdrSize != 20)
    return refuse(s);
  uint8_t vhdr[20];
  if (!readExact(f, vhdr, sizeof vhdr)) return refuse(s);
  int32_t rate = vhdr[12] << 8 | vhdr[13];
  // A rate of 0 could not be played or timed; compressed bodies are not PCM.
  if (rate == 0 || vhdr[15] != 0) return refuse(s);

  bool stereo = false;
  char name[4] = {'x', 'x', 'x', 'x'};
  uint32_t size = 0;
  for (;;) {
    int64_t rest = static_cast<int64_t>(size) + (size & 1);
    if (std::memcmp(name, "CHAN", 4) == 0 && size >= 4) {
      uint32_t value = 0;
      if (!readU32(f, true, &value)) return refuse(s);
      stereo = value == 6;
      rest -= 4;  // a longer CHAN chunk is skipped to its end
    }
    if (!skip(f, rest) || !readExact(f, name, 4) || !readU32(f, true, &size)) return refuse(s);
    if (std::memcmp(name, "BODY", 4) == 0) break;
  }

  uint32_t sampleBytes = static_cast<uint32_t>(bits / 8);
  s->channels = stereo ? 2 : 1;
  s->bits = bits;
  s->bytesPerFrame = static_cast<int32_t>(sampleBytes) * s->channels;
  s->flags = bits == 16 ? (SOUNDFLAG_BIGENDIAN | SOUNDFLAG_SIGNED) : 0;
  s->rate = rate;
  s->dataStart = SeekFileStream(f, 0, 0);
  if (s->dataStart < 0) return refuse(s);
  // The BODY holds all left samples, then all right samples: channelFrames
  // places the right block; frames counts those present in both blocks.
  uint32_t perChannel = size / sampleBytes / static_cast<uint32_t>(s->channels);
  s->channelFrames = perChannel;
  int64_t frames = perChannel;
  int64_t present = bytesPresent(s);
  if (present >= 0) {
    int64_t samples = present / sampleBytes;
    frames =
        std::min<int64_t>(frames, stereo ? std::max<int64_t>(0, samples - perChannel) : samples);
  }
  setFrames(s, static_cast<uint32_t>(frames));
  return ERR_NONE;
}

ErrorCode parse8svx(SoundStream* s) { return parseIff(s, 8); }
ErrorCode parse16sv(SoundStream* s) { return parseIff(s, 16); }

// Reads up to count samples of one channel block starting at frame first;
// returns the whole samples read.
uint32_t readChannelBlock(SoundStream* s, int64_t blockStart, uint32_t first, uint32_t count,
                          uint8_t* out) {
  uint32_t sampleBytes = static_cast<uint32_t>(s->bits / 8);
  StreamHandle* f = fileOf(s);
  if (count == 0) return 0;
  if (SeekFileStream(f, blockStart + static_cast<int64_t>(first) * sampleBytes, 1) < 0) return 0;
  return static_cast<uint32_t>(ReadStream(f, out, static_cast<size_t>(count) * sampleBytes) /
                               sampleBytes);
}

uint32_t readIff(SoundStream* s, void* buffer, uint32_t wanted, int32_t* done) {
  uint8_t* out = static_cast<uint8_t*>(buffer);
  uint32_t sampleBytes = static_cast<uint32_t>(s->bits / 8);
  uint8_t silence = s->bits == 8 ? 0x80 : 0;
  uint32_t count = std::min(wanted, s->frames - std::min(s->position, s->frames));
  uint32_t got;
  if (s->channels == 2) {
    size_t need = static_cast<size_t>(count) * sampleBytes;
    if (need > s->scratchSize) {
      uint8_t* grown = static_cast<uint8_t*>(AllocMemory(need, 0));
      if (grown == nullptr) return finishBlock(s, buffer, wanted, 0, false, silence, done);
      FreeMemory(s->scratch);
      s->scratch = grown;
      s->scratchSize = need;
    }
    uint32_t left = readChannelBlock(s, s->dataStart, s->position, count, s->scratch);
    for (uint32_t i = 0; i < left; i++)
      std::memcpy(out + i * 2 * sampleBytes, s->scratch + i * sampleBytes, sampleBytes);
    int64_t rightStart = s->dataStart + static_cast<int64_t>(s->channelFrames) * sampleBytes;
    uint32_t right = readChannelBlock(s, rightStart, s->position, left, s->scratch);
    for (uint32_t i = 0; i < right; i++) {
      std::memcpy(out + (i * 2 + 1) * sampleBytes, s->scratch + i * sampleBytes, sampleBytes);
    }
    got = right;
  } else {
    got = readChannelBlock(s, s->dataStart, s->position, count, out);
  }
  if (s->bits == 8) {
    for (size_t i = 0; i < static_cast<size_t>(got) * s->channels; i++)
      out[i] = static_cast<uint8_t>(out[i] + 128);
  }
  return finishBlock(s, buffer, wanted, got, got < count, silence, done);
}

// ---- RIFF WAVE ----

ErrorCode parseWave(SoundStream* s) {
  StreamHandle* f = fileOf(s);
  if (SeekFileStream(f, 12, 1) < 0) return refuse(s);
  char name[4] = {'x', 'x', 'x', 'x'};
  uint32_t size = 0;
  uint32_t rate = 0;
  int channels = 0, bits = 0;
  for (;;) {
    if (std::memcmp(name, "fmt ", 4) == 0) {
      if (size != 16 && size != 18 && size != 40) return refuse(s);
      uint8_t fmt[16];
      if (!readExact(f, fmt, sizeof fmt)) return refuse(s);
      channels = le16(fmt + 2);
      rate = le32(fmt + 4);
      bits = le16(fmt + 14);
      // Only integer PCM of 8 or 16 bits in one or two channels.
      if (le16(fmt) != 1 || (channels != 1 && channels != 2) || (bits != 8 && bits != 16))
        return refuse(s);
      if (!skip(f, size - 16)) return refuse(s);
    } else if (!skip(f, static_cast<int64_t>(size) + (size & 1))) {
      return refuse(s);
    }
    if (!readExact(f, name, 4) || !readU32(f, false, &size)) return refuse(s);
    if (std::memcmp(name, "data", 4) == 0) break;
  }
  // "fmt " must come before "data"; a rate must fit the rate field.
  if (rate == 0 || rate > INT32_MAX) return refuse(s);
  s->channels = channels;
  s->bits = bits;
  s->bytesPerFrame = bits * channels / 8;
  s->flags = bits == 16 ? SOUNDFLAG_SIGNED : 0;
  s->rate = static_cast<int32_t>(rate);
  s->dataStart = SeekFileStream(f, 0, 0);
  if (s->dataStart < 0) return refuse(s);
  s->channelFrames = 0;
  int64_t bytes = size;
  int64_t present = bytesPresent(s);
  if (present >= 0) bytes = std::min(bytes, present);
  setFrames(s, static_cast<uint32_t>(bytes / s->bytesPerFrame));
  return ERR_NONE;
}

uint32_t readWave(SoundStream* s, void* buffer, uint32_t wanted, int32_t* done) {
  uint8_t silence = s->bits == 8 ? 0x80 : 0;
  uint32_t count = std::min(wanted, s->frames - std::min(s->position, s->frames));
  size_t bpf = static_cast<size_t>(s->bytesPerFrame);
  uint32_t got = 0;
  StreamHandle* f = fileOf(s);
  if (count > 0 &&
      SeekFileStream(f, s->dataStart + static_cast<int64_t>(s->position) * s->bytesPerFrame, 1) >=
          0) {
    got = static_cast<uint32_t>(ReadStream(f, buffer, count * bpf) / bpf);
  }
  return finishBlock(s, buffer, wanted, got, got < count, silence, done);
}

// ---- Shared ----

void seekReader(SoundStream* s, uint32_t frame) {
  if (frame < s->frames) s->position = frame;
}

void closeReader(SoundStream* s) {
  FreeMemory(s->scratch);
  s->scratch = nullptr;
  s->scratchSize = 0;
  CloseFileStream(fileOf(s));
  s->source = nullptr;
}

const SoundReader READERS[3] = {
    {"IFF 8SVX", parse8svx, readIff, seekReader, closeReader},
    {"IFF 16SV", parse16sv, readIff, seekReader, closeReader},
    {"RIFF WAVE", parseWave, readWave, seekReader, closeReader},
};

}  // namespace

const SoundReader* GetBuiltinSoundReader(int32_t kind) {
  return kind >= SOUNDKIND_8SVX && kind <= SOUNDKIND_WAVE ? &READERS[kind - 1] : nullptr;
}
