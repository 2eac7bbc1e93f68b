// The built-in CDXL video decoder: a file of equal-sized chunks, each a
// 32-byte big-endian header, the palette (16-bit 0x0RGB words), the planar
// image and optional signed 8-bit mono sound, then fill bytes up to the
// chunk size. A chunk gives its frame as one packet and its sound as the
// next one.
//
// Invariant: an opened file has 1 to 8 planes, a non-zero size, at most 258
// palette entries, and a chunk size that holds the header, palette, image
// and sound, so every read of a chunk stays inside it and the fill bytes
// are never negative.
#include <cstring>
#include <algorithm>

#include "media/image_private.h"
#include "media/media.h"
#include "media/video_private.h"
#include "platform/linux/platform.h"
#include "runtime/runtime.h"

namespace {

constexpr int32_t HEADER_SIZE = 32;
constexpr int32_t MAX_COLOURS = 258;  // what a frame packet's table holds
constexpr int32_t MAX_PALETTE_BYTES = MAX_COLOURS * 2;

struct Decoder {
  StreamHandle* stream;
  int32_t width, height, bytesPerRow, depth;
  int32_t frameCount;
  double fps;
  int64_t chunkSize;
  int64_t imageSize, soundSize, fillSize, paletteSize;
  int32_t ham;
  int32_t frame;
  int32_t soundPending;
  uint32_t* argb;  // width x height words, the frame before byte order
};

// A frame packet: the record, then the converted palette, the planar data
// and the chunky buffer; a sound packet: the record and the samples.
struct FramePacket {
  QmVideoPacket packet;
  uint32_t palette[MAX_COLOURS];
  uint8_t* planes;
  uint8_t* chunky;
};

uint32_t be16(const uint8_t* p) { return (uint32_t{p[0]} << 8) | p[1]; }
uint32_t be32(const uint8_t* p) { return (be16(p) << 16) | be16(p + 2); }

void closeDecoder(void* handle) {
  auto* d = static_cast<Decoder*>(handle);
  if (!d) return;
  CloseFileStream(d->stream);
  FreeMemory(d->argb);
  FreeMemory(d);
}

void* openDecoder(const char* name, QmVideoFormat* format) {
  StreamHandle* stream = OpenFileStream(name, STREAM_READ | STREAM_ADAPTERS, format->adapter);
  if (!stream) return nullptr;
  uint8_t h[HEADER_SIZE];
  const int64_t size = GetStreamSize(stream);
  bool ok = ReadStream(stream, h, HEADER_SIZE) == HEADER_SIZE && h[0] == 1;
  const int64_t chunk = ok ? int64_t{be32(h + 2)} : 0;
  const int32_t width = static_cast<int32_t>(be16(h + 14));
  const int32_t height = static_cast<int32_t>(be16(h + 16));
  const int32_t depth = h[19];
  const int64_t paletteSize = be16(h + 20), soundSize = be16(h + 22);
  const int32_t bytesPerRow = ((width + 15) / 16) * 2;
  const int64_t imageSize = int64_t{depth} * height * bytesPerRow;
  // A chunk must hold its own parts (a chunk size of 0 or one smaller than
  // its contents would make the stride meaningless), the palette must fit
  // the packet's table, and the planes must be a picture.
  ok = ok && width > 0 && height > 0 && depth >= 1 && depth <= 8 &&
       paletteSize <= MAX_PALETTE_BYTES &&
       chunk >= HEADER_SIZE + paletteSize + imageSize + soundSize && size > chunk;
  if (ok) {
    uint8_t next[4];
    ok = SeekFileStream(stream, chunk + 2, 1) >= 0 && ReadStream(stream, next, 4) == 4 &&
         int64_t{be32(next)} == chunk && SeekFileStream(stream, 0, 1) >= 0;
  }
  Decoder* d = nullptr;
  if (ok) {
    d = static_cast<Decoder*>(AllocMemory(sizeof(Decoder), 1));
    if (d)
      d->argb = static_cast<uint32_t*>(
          AllocMemoryArray(static_cast<size_t>(width) * static_cast<size_t>(height), 4, 0));
    if (d && !d->argb) {
      FreeMemory(d);
      d = nullptr;
    }
  }
  if (!d) {
    CloseFileStream(stream);
    return nullptr;
  }
  d->stream = stream;
  d->width = width;
  d->height = height;
  d->depth = depth;
  d->bytesPerRow = bytesPerRow;
  d->chunkSize = chunk;
  d->imageSize = imageSize;
  d->soundSize = soundSize;
  d->paletteSize = paletteSize;
  d->fillSize = chunk - HEADER_SIZE - paletteSize - soundSize - imageSize;
  d->ham = (h[1] & 0x0F) == 1;
  d->frameCount = static_cast<int32_t>(size / chunk);
  d->fps = CdxlFramesPerSecond(chunk);
  format->width = width;
  format->height = height;
  format->duration = VmTruncInt32(static_cast<double>(d->frameCount) / d->fps * 1000.0);
  format->sampleRate = VmTruncInt32(static_cast<double>(soundSize) * d->fps);
  format->channels = soundSize ? 1 : 0;
  format->seekByBytes = 0;
  format->pixelFormat = 1;
  format->flags = IsStreamNoSeek(stream) ? 0u : QM_VIDEOFLAG_SEEKABLE;
  format->frameDuration = 1.0 / d->fps;
  return d;
}

// The sound of the chunk whose frame went out last.
int32_t nextSoundPacket(Decoder* d, QmVideoPacket** out) {
  const size_t n = static_cast<size_t>(d->soundSize);
  auto* p = static_cast<QmVideoPacket*>(AllocMemory(sizeof(QmVideoPacket) + n, 1));
  if (!p) return -2;
  p->data = p + 1;
  if (ReadStream(d->stream, p->data, n) != n) {
    FreeMemory(p);
    return -1;
  }
  d->soundPending = 0;
  p->isAudio = 1;
  p->size = static_cast<uint32_t>(n);
  p->timeStamp = d->frame / d->fps;
  p->position = int64_t{d->frame} * d->chunkSize;
  *out = p;
  return 0;
}

// Past a chunk's sound (or its frame when it has none): the fill bytes.
void finishChunk(Decoder* d) {
  if (d->fillSize) SeekFileStream(d->stream, d->fillSize, 0);
  d->frame++;
}

int32_t nextPacket(void* handle, QmVideoPacket** out) {
  auto* d = static_cast<Decoder*>(handle);
  *out = nullptr;
  if (d->soundPending) {
    const int32_t result = nextSoundPacket(d, out);
    if (result == 0) finishChunk(d);
    return result;
  }
  if (d->frame >= d->frameCount || IsStreamEOF(d->stream)) return -1;
  const size_t pixels = static_cast<size_t>(d->width) * static_cast<size_t>(d->height);
  const size_t image = static_cast<size_t>(d->imageSize);
  auto* f = static_cast<FramePacket*>(AllocMemory(sizeof(FramePacket) + image + pixels, 1));
  if (!f) return -2;
  f->planes = reinterpret_cast<uint8_t*>(f + 1);
  f->chunky = f->planes + image;
  uint8_t header[HEADER_SIZE];
  uint8_t palette[MAX_PALETTE_BYTES];
  const size_t paletteBytes = static_cast<size_t>(d->paletteSize);
  if (ReadStream(d->stream, header, HEADER_SIZE) != HEADER_SIZE ||
      ReadStream(d->stream, palette, paletteBytes) != paletteBytes ||
      ReadStream(d->stream, f->planes, image) != image) {
    FreeMemory(f);
    return -1;
  }
  for (size_t i = 0; i < paletteBytes / 2; i++) {
    const uint32_t c = be16(palette + 2 * i);
    f->palette[i] = (((c >> 8) & 15) * 17) << 16 | (((c >> 4) & 15) * 17) << 8 | (c & 15) * 17;
  }
  f->packet.data = f->planes;
  f->packet.size = static_cast<uint32_t>(image);
  f->packet.timeStamp = d->frame / d->fps;
  f->packet.position = int64_t{d->frame} * d->chunkSize;
  d->soundPending = d->soundSize != 0;
  if (!d->soundPending) finishChunk(d);
  *out = &f->packet;
  return 0;
}

void freePacket(void*, QmVideoPacket* packet) { FreeMemory(packet); }

int32_t decodeVideo(void* handle, QmVideoPacket* packet, QmVideoFrame* frame) {
  auto* d = static_cast<Decoder*>(handle);
  if (packet->isAudio || !frame->pixels) return -1;
  auto* f = reinterpret_cast<FramePacket*>(packet);
  const int32_t w = d->width, h = d->height;
  std::memset(f->chunky, 0, static_cast<size_t>(w) * static_cast<size_t>(h));
  PlanarToChunky(f->planes, w, h, d->depth, static_cast<size_t>(d->bytesPerRow), f->chunky,
                 static_cast<size_t>(w));
  if (!d->ham)
    ChunkyToArgb(f->chunky, d->argb, f->palette, w, h);
  else if (d->depth <= 6)
    DecodeHam6Pixels(f->chunky, d->argb, f->palette, w, h);
  else
    DecodeHam8Pixels(f->chunky, d->argb, f->palette, w, h);
  for (int32_t y = 0; y < h; y++) {
    const uint32_t* s = d->argb + static_cast<size_t>(y) * static_cast<size_t>(w);
    uint8_t* o = frame->pixels + static_cast<size_t>(y) * static_cast<size_t>(frame->rowBytes);
    for (int32_t x = 0; x < w; x++, o += 4) {
      o[0] = static_cast<uint8_t>(s[x] >> 24);
      o[1] = static_cast<uint8_t>(s[x] >> 16);
      o[2] = static_cast<uint8_t>(s[x] >> 8);
      o[3] = static_cast<uint8_t>(s[x]);
    }
  }
  frame->width = w;
  frame->height = h;
  frame->repeatFields = 0;
  frame->presentationTime = packet->timeStamp;
  frame->decodingTime = -1.0;
  return 0;
}

int32_t decodeAudio(void*, QmVideoPacket* packet, void* buffer, int32_t bytes) {
  if (!packet->isAudio || bytes < 2 || packet->offset >= packet->size) return 0;
  const uint32_t samples =
      std::min(packet->size - packet->offset, static_cast<uint32_t>(bytes / 2));
  const auto* in = static_cast<const int8_t*>(packet->data) + packet->offset;
  auto* out = static_cast<int16_t*>(buffer);
  for (uint32_t i = 0; i < samples; i++) out[i] = static_cast<int16_t>(in[i] * 256);
  packet->offset += samples;
  return static_cast<int32_t>(samples * 2);
}

int32_t seekDecoder(void* handle, int64_t ms) {
  auto* d = static_cast<Decoder*>(handle);
  double target = static_cast<double>(ms) / 1000.0 * d->fps;
  if (target < 0) target = 0;
  int64_t frame = target >= static_cast<double>(d->frameCount) ? d->frameCount - 1
                                                               : static_cast<int64_t>(target);
  if (frame < 0) frame = 0;
  if (SeekFileStream(d->stream, frame * d->chunkSize, 1) < 0) return -1;
  d->frame = static_cast<int32_t>(frame);
  d->soundPending = 0;
  return 0;
}

void flushNothing(void*) {}

int32_t frameCount(void* handle) { return static_cast<Decoder*>(handle)->frameCount; }

const char* formatName(void*) { return "CDXL"; }

constexpr VideoDecoderOps CDXL_OPS = {
    "CDXL",      openDecoder, closeDecoder, nextPacket,   freePacket, decodeVideo,
    decodeAudio, seekDecoder, flushNothing, flushNothing, frameCount, formatName,
};

}  // namespace

const VideoDecoderOps* GetCdxlDecoderOps() { return &CDXL_OPS; }

double CdxlFramesPerSecond(int64_t chunkSize) {
  const double rate = chunkSize <= 13000 ? 153600.0 : chunkSize <= 40000 ? 307200.0 : 614400.0;
  return rate / static_cast<double>(chunkSize);
}
