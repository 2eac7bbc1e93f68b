// The AVI writer: Motion-JPEG video with a 16-bit stereo PCM track at the
// video's pace (silence for anims), written frame after frame. The first
// RIFF chunk carries the classic idx1 index, collected in a temporary file
// so that the output is never read back; OpenDML super indexes in the
// stream headers point at pairs of standard indexes ("ix00" audio, "ix01"
// video) reserved in front of every segment of up to 2,044 frames, and past
// the RIFF limit the movie goes on in "AVIX" RIFF chunks. The headers are
// rewritten in place once, at the end.
//
// Invariants: the writer's position is the output's position (every byte
// written or skipped goes through this file's helpers); the first write,
// seek or close failure sticks and every later frame and the finish report
// it, so a broken file is never reported as written; the temporary index
// file is deleted on every path out.
#include <cstdio>
#include <cstring>

#include "gfx/gfx.h"
#include "media/anim_private.h"
#include "media/image_private.h"
#include "media/media.h"
#include "runtime/player.h"

namespace {

constexpr int32_t SEGMENT_FRAMES = 2044;      // standard-index entries per segment
constexpr int32_t SUPER_ENTRIES = 1022;       // super-index entries per stream
constexpr uint32_t STD_INDEX_BYTES = 16384;   // a standard-index chunk, header included
constexpr uint32_t SUPER_INDEX_DATA = 16376;  // "indx" data: 24-byte header + 1,022 x 16
constexpr uint32_t HEADER_LIST_BASE = 33272;  // "hdrl" list size without the two texts
constexpr uint32_t INFO_LIST_BASE = 180;      // "INFO" list size without the two texts
constexpr uint32_t AUDIO_STRL = 16476;        // "strl" list sizes
constexpr uint32_t VIDEO_STRL = 16500;
constexpr uint32_t AVIF_HASINDEX = 16;
constexpr uint32_t AVIIF_KEYFRAME = 16;
constexpr int64_t FIRST_RIFF_LIMIT = 1000000000;  // the classic 1 GB RIFF limit
constexpr int64_t LATER_RIFF_LIMIT = 2000000000;  // each "AVIX" chunk
constexpr size_t COPY_BLOCK = 16384;
constexpr size_t NAME_MAX_BYTES = 1024;
constexpr size_t COMMENT_CHARS = 151;  // the ICMT text, a zero after it
const char SOFTWARE_TEXT[] = "Quillmere by Vorlast Tessmark";

int64_t firstRiffLimit = FIRST_RIFF_LIMIT;
int64_t laterRiffLimit = LATER_RIFF_LIMIT;

struct IndexPair {
  uint32_t offset;  // of the chunk's data from the RIFF chunk's start
  uint32_t size;
};

struct SuperEntry {
  uint64_t offset;      // of the standard-index chunk
  uint32_t startFrame;  // total frames when the segment began
  uint32_t frames;      // frames it covers, set when it closes
};

}  // namespace

struct AviWriter {
  StreamHandle* output;
  StreamHandle* indexFile;
  ErrorCode ioError;  // the first failed write, seek or close
  uint32_t totalFrames;
  uint32_t framesInRiff;
  int32_t width, height;
  int32_t fps;
  int32_t quality;
  int32_t smoothing;
  uint32_t flags;
  char indexName[NAME_MAX_BYTES];
  uint8_t copyBuffer[COPY_BLOCK];
  uint64_t videoBytes;
  uint64_t videoBytesInRiff;
  uint32_t largestVideoChunk;
  uint32_t microsPerFrame;
  int32_t sampleRate;
  int32_t samplesPerFrame;
  uint64_t samplesInRiff;
  uint64_t totalSamples;
  uint8_t* audioBlock;
  uint32_t audioBlockSize;
  char name[NAME_MAX_BYTES];
  char fileName[NAME_MAX_BYTES];
  TimeValue clock;
  TimeValue frameDuration;
  int32_t superInUse;
  IndexPair entries[2][SEGMENT_FRAMES];
  int32_t entriesInSegment;
  int32_t segmentOpen;  // the last segment's standard indexes are not yet written
  uint32_t indexPairsInRiff;
  SuperEntry super[2][SUPER_ENTRIES];
  uint64_t segmentBase;  // the RIFF start of the open segment
  int64_t riffLimit;
  uint64_t riffStart, moviStart;
  uint64_t position;
  int32_t idx1Active;
  JpegBuffer* jpegHolder;
  const uint8_t* jpegData;
  size_t jpegSize;
};

namespace {

const char* const CHUNK_IDS[2] = {"00wb", "01dc"};

void putBytes(AviWriter* w, const void* data, size_t n) {
  if (w->ioError) return;
  if (WriteStream(w->output, data, n) != n) {
    w->ioError = ERR_WRITE;
    return;
  }
  w->position += n;
}
void put32(AviWriter* w, uint32_t v) {
  uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                  static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
  putBytes(w, b, 4);
}
void put16(AviWriter* w, uint32_t v) {
  uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
  putBytes(w, b, 2);
}
void put64(AviWriter* w, uint64_t v) {
  put32(w, static_cast<uint32_t>(v));
  put32(w, static_cast<uint32_t>(v >> 32));
}
void putId(AviWriter* w, const char* id) { putBytes(w, id, 4); }
void putZeros(AviWriter* w, size_t n) {
  static const uint8_t zeros[256] = {};
  while (n > 0 && !w->ioError) {
    size_t step = n < sizeof zeros ? n : sizeof zeros;
    putBytes(w, zeros, step);
    n -= step;
  }
}
void seekTo(AviWriter* w, uint64_t position) {
  if (w->ioError) return;
  if (SeekFileStream(w->output, static_cast<int64_t>(position), 1) < 0) {
    w->ioError = ERR_WRITE;
    return;
  }
  w->position = position;
}

// A text entry's bytes: the text, its zero, a pad byte after an odd length.
uint32_t textBytes(const char* text) {
  uint32_t n = static_cast<uint32_t>(strlen(text)) + 1;
  return n + (n & 1);
}
void putText(AviWriter* w, const char* id, const char* text) {
  uint32_t n = static_cast<uint32_t>(strlen(text)) + 1;
  putId(w, id);
  put32(w, n);
  putBytes(w, text, n);
  if (n & 1) putZeros(w, 1);
}

void putSuperIndex(AviWriter* w, int stream) {
  putId(w, "indx");
  put32(w, SUPER_INDEX_DATA);
  put16(w, 4);                // longs per entry
  uint8_t types[2] = {0, 0};  // sub-type, index of indexes
  putBytes(w, types, 2);
  put32(w, static_cast<uint32_t>(w->superInUse));
  putId(w, CHUNK_IDS[stream]);
  putZeros(w, 12);
  for (int32_t i = 0; i < SUPER_ENTRIES; i++) {
    if (i >= w->superInUse) {
      putZeros(w, 16);
      continue;
    }
    const SuperEntry& e = w->super[stream][i];
    put64(w, e.offset);
    put32(w, STD_INDEX_BYTES);
    put32(w, stream == 0 ? e.frames * static_cast<uint32_t>(w->samplesPerFrame) : e.frames);
  }
}

void putStreamHeader(AviWriter* w, const char* type, const char* handler, uint32_t scale,
                     uint32_t rate, uint32_t length, uint32_t bufferSize, uint32_t quality,
                     uint32_t sampleSize, int withRect) {
  putId(w, "strh");
  put32(w, 56);
  putId(w, type);
  if (handler)
    putId(w, handler);
  else
    putZeros(w, 4);
  put32(w, 0);  // flags
  put16(w, 0);  // priority
  put16(w, 0);  // language
  put32(w, 0);  // initial frames
  put32(w, scale);
  put32(w, rate);
  put32(w, 0);  // start
  put32(w, length);
  put32(w, bufferSize);
  put32(w, quality);
  put32(w, sampleSize);
  put16(w, 0);
  put16(w, 0);
  put16(w, withRect ? static_cast<uint32_t>(w->width) : 0);
  put16(w, withRect ? static_cast<uint32_t>(w->height) : 0);
}

// The ICMT text: the player, its version and platform, blank-padded.
void makeComment(char out[COMMENT_CHARS + 1]) {
  char text[COMMENT_CHARS + 1];
  snprintf(text, sizeof text, "Generated by Quillmere %d.%d (Linux, 64-bit)", PLAYER_VERSION_MAJOR,
           PLAYER_VERSION_MINOR);
  size_t n = strlen(text);
  memcpy(out, text, n);
  memset(out + n, ' ', COMMENT_CHARS - n);
  out[COMMENT_CHARS] = 0;
}

// The "hdrl" list with the writer's current counts.
void putHeaderList(AviWriter* w) {
  uint32_t texts = textBytes(w->name) + textBytes(SOFTWARE_TEXT);
  putId(w, "LIST");
  put32(w, HEADER_LIST_BASE + texts);
  putId(w, "hdrl");

  putId(w, "avih");
  put32(w, 56);
  put32(w, w->microsPerFrame);
  uint32_t frames = w->totalFrames ? w->totalFrames : 1;
  put32(w, static_cast<uint32_t>(w->videoBytes / frames * 1000000 / w->microsPerFrame));
  put32(w, 0);  // padding granularity
  put32(w, AVIF_HASINDEX);
  put32(w, w->totalFrames);
  put32(w, 0);  // initial frames
  put32(w, 2);  // streams
  put32(w, 0);  // suggested buffer size
  put32(w, static_cast<uint32_t>(w->width));
  put32(w, static_cast<uint32_t>(w->height));
  putZeros(w, 16);

  putId(w, "LIST");
  put32(w, AUDIO_STRL);
  putId(w, "strl");
  putStreamHeader(w, "auds", nullptr, 4, 4 * static_cast<uint32_t>(w->sampleRate),
                  static_cast<uint32_t>(w->totalSamples), w->audioBlockSize, 0xFFFFFFFFu, 4, 0);
  putId(w, "strf");
  put32(w, 16);
  put16(w, 1);  // PCM
  put16(w, 2);  // channels
  put32(w, static_cast<uint32_t>(w->sampleRate));
  put32(w, 4 * static_cast<uint32_t>(w->sampleRate));
  put16(w, 4);   // block align
  put16(w, 16);  // bits per sample
  putSuperIndex(w, 0);

  putId(w, "LIST");
  put32(w, VIDEO_STRL);
  putId(w, "strl");
  putStreamHeader(w, "vids", "MJPG", w->microsPerFrame, 1000000, w->totalFrames,
                  w->largestVideoChunk, 0, 0, 1);
  putId(w, "strf");
  put32(w, 40);
  put32(w, 40);
  put32(w, static_cast<uint32_t>(w->width));
  put32(w, static_cast<uint32_t>(w->height));
  put16(w, 1);   // planes
  put16(w, 24);  // bit count
  putId(w, "MJPG");
  put32(w, static_cast<uint32_t>(w->width) * static_cast<uint32_t>(w->height) * 3);
  putZeros(w, 16);
  putSuperIndex(w, 1);

  putId(w, "LIST");
  put32(w, 16);
  putId(w, "odml");
  putId(w, "dmlh");
  put32(w, 4);
  put32(w, w->totalFrames);

  putId(w, "LIST");
  put32(w, INFO_LIST_BASE + texts);
  putId(w, "INFO");
  putText(w, "INAM", w->name);
  putText(w, "ISFT", SOFTWARE_TEXT);
  char comment[COMMENT_CHARS + 1];
  makeComment(comment);
  putId(w, "ICMT");
  put32(w, COMMENT_CHARS + 1);
  putBytes(w, comment, COMMENT_CHARS + 1);
}

// A standard index of the open segment with `count` entries (0 reserves
// its place).
void putStandardIndex(AviWriter* w, int stream, int32_t count) {
  putId(w, stream == 0 ? "ix00" : "ix01");
  put32(w, STD_INDEX_BYTES - 8);
  put16(w, 2);                // longs per entry
  uint8_t types[2] = {0, 1};  // sub-type, index of chunks
  putBytes(w, types, 2);
  put32(w, static_cast<uint32_t>(count));
  putId(w, CHUNK_IDS[stream]);
  put64(w, w->segmentBase);
  put32(w, 0);
  for (int32_t i = 0; i < count; i++) {
    put32(w, w->entries[stream][i].offset);
    put32(w, w->entries[stream][i].size);
  }
  putZeros(w, static_cast<size_t>(SEGMENT_FRAMES - count) * 8);
}

// Writes the open segment's standard indexes into their reserved places
// and closes its super-index entries.
// Writes the open segment's standard indexes. A segment is closed once: a
// second close (a new RIFF chunk closes it before the next segment begins)
// would write them again with no entries.
void closeSegment(AviWriter* w) {
  if (w->superInUse == 0 || !w->segmentOpen) return;
  w->segmentOpen = 0;
  uint64_t end = w->position;
  for (int stream = 0; stream < 2; stream++) {
    SuperEntry& e = w->super[stream][w->superInUse - 1];
    seekTo(w, e.offset);
    putStandardIndex(w, stream, w->entriesInSegment);
    e.frames = w->totalFrames - e.startFrame;
  }
  seekTo(w, end);
  w->entriesInSegment = 0;
}

void beginSegment(AviWriter* w) {
  closeSegment(w);
  w->segmentBase = w->riffStart;
  for (int stream = 0; stream < 2; stream++) {
    SuperEntry& e = w->super[stream][w->superInUse];
    e.offset = w->position + static_cast<uint64_t>(stream) * STD_INDEX_BYTES;
    e.startFrame = w->totalFrames;
    e.frames = 0;
  }
  w->superInUse++;
  w->segmentOpen = 1;
  for (int stream = 0; stream < 2; stream++) putStandardIndex(w, stream, 0);
  w->indexPairsInRiff++;
}

void putIndexFile(AviWriter* w, const void* data, size_t n) {
  if (w->ioError) return;
  if (WriteStream(w->indexFile, data, n) != n) w->ioError = ERR_WRITE;
}

// Appends the idx1 chunk collected in the index file; the file is closed.
void appendIndexFile(AviWriter* w) {
  if (!w->indexFile) return;
  uint8_t size[4];
  uint32_t bytes = w->totalFrames * 32;
  memcpy(size, &bytes, 4);  // little-endian host
  if (!w->ioError && SeekFileStream(w->indexFile, 4, 1) < 0) w->ioError = ERR_WRITE;
  putIndexFile(w, size, 4);
  if (!CloseFileStream(w->indexFile) && !w->ioError) w->ioError = ERR_WRITE;
  w->indexFile = nullptr;
  if (w->ioError) return;
  StreamHandle* in = OpenFileStream(w->indexName, STREAM_READ, nullptr);
  if (!in) {
    w->ioError = ERR_WRITE;
    return;
  }
  uint64_t expected = 8 + static_cast<uint64_t>(bytes);
  uint64_t copied = 0;
  size_t n;
  while ((n = ReadStream(in, w->copyBuffer, sizeof w->copyBuffer)) > 0) {
    putBytes(w, w->copyBuffer, n);
    copied += n;
  }
  CloseFileStream(in);
  if (copied != expected && !w->ioError) w->ioError = ERR_WRITE;
}

void finishRiffSizes(AviWriter* w) {
  uint64_t end = w->position;
  seekTo(w, w->riffStart + 4);
  put32(w, static_cast<uint32_t>(end - w->riffStart - 8));
  seekTo(w, w->moviStart + 4);
  put32(w,
        static_cast<uint32_t>(w->videoBytesInRiff + w->framesInRiff * 16ull + 4 +
                              w->indexPairsInRiff * 2ull * STD_INDEX_BYTES + 4 * w->samplesInRiff));
  seekTo(w, end);
  w->videoBytesInRiff = 0;
  w->framesInRiff = 0;
  w->indexPairsInRiff = 0;
  w->samplesInRiff = 0;
}

void beginRiff(AviWriter* w, const char* type) {
  w->riffStart = w->position;
  putId(w, "RIFF");
  put32(w, 0);
  putId(w, type);
}
void beginMovi(AviWriter* w) {
  w->moviStart = w->position;
  putId(w, "LIST");
  put32(w, 0);
  putId(w, "movi");
}

void freeWriter(AviWriter* w) {
  if (w->indexFile) CloseFileStream(w->indexFile);
  if (w->indexName[0]) DeleteFileNative(w->indexName);
  FreeJpegBuffer(w->jpegHolder);
  FreeMemory(w->audioBlock);
  FreeMemory(w);
}

void copyName(char* out, const char* text) {
  snprintf(out, NAME_MAX_BYTES, "%s", text ? text : "");
}

}  // namespace

ErrorCode AviWriteHeader(const char* fileName, int32_t fps, uint32_t flags, int32_t width,
                         int32_t height, int32_t quality, int32_t smoothing, int32_t reserved,
                         const char* name, int32_t reserved2, AviWriter** out) {
  (void)reserved;
  (void)reserved2;
  *out = nullptr;
  // The frame duration is divided by: at least one microsecond per frame.
  if (fps < 1 || fps > 1000000 || width < 1 || height < 1 || width > 65535 || height > 65535)
    return ERR_WRONGUSAGE;
  auto* w = static_cast<AviWriter*>(AllocMemory(sizeof(AviWriter), 1));
  if (!w) return ERR_MEM;
  w->width = width;
  w->height = height;
  w->fps = fps;
  w->quality = quality;
  w->smoothing = smoothing;
  w->flags = flags;
  w->microsPerFrame = 1000000u / static_cast<uint32_t>(fps);
  int32_t f = static_cast<int32_t>(1000000u / w->microsPerFrame);
  int32_t rate = 44100;
  while (rate % f != 0) rate--;
  w->sampleRate = rate;
  w->samplesPerFrame = rate / f;
  w->audioBlockSize = 4 * static_cast<uint32_t>(w->samplesPerFrame);
  if (fps == 1)
    w->frameDuration = {1, 0};
  else
    w->frameDuration = {0, w->microsPerFrame};
  w->audioBlock = static_cast<uint8_t*>(AllocMemory(w->audioBlockSize, 1));
  if (!w->audioBlock) {
    FreeMemory(w);
    return ERR_MEM;
  }
  copyName(w->name, name);
  copyName(w->fileName, fileName);
  if (!CreateTempFile(w->indexName, sizeof w->indexName)) {
    SetErrorArgString(w->indexName);
    freeWriter(w);
    return ERR_WRITEFILE;
  }
  w->output = OpenFileStream(fileName, STREAM_WRITE, nullptr);
  if (!w->output) {
    SetErrorArgString(fileName);
    freeWriter(w);
    return ERR_WRITEFILE;
  }
  w->indexFile = OpenFileStream(w->indexName, STREAM_WRITE, nullptr);
  if (!w->indexFile) {
    SetErrorArgString(w->indexName);
    CloseFileStream(w->output);
    freeWriter(w);
    return ERR_WRITEFILE;
  }
  beginRiff(w, "AVI ");
  putHeaderList(w);
  beginMovi(w);
  putIndexFile(w, "idx1\0\0\0\0", 8);
  w->riffLimit = firstRiffLimit;
  w->idx1Active = 1;
  *out = w;
  return 0;
}

ErrorCode AviWriteVideoFrame(AviWriter* w, BitmapHandle* bitmap, int32_t bitmapWidth,
                             int32_t bitmapHeight, int32_t reserved, int32_t keep) {
  // A scaled copy is always freed here: nothing hands it back to a caller
  // that asked to keep it.
  (void)reserved;
  (void)keep;
  if (w->ioError) return w->ioError;
  bool newRiff = static_cast<int64_t>(w->position - w->riffStart) > w->riffLimit;
  bool segmentDue = newRiff || w->framesInRiff == 0 || w->entriesInSegment == SEGMENT_FRAMES;
  // The super indexes are full: the file ends here, but can be finished.
  if (segmentDue && w->superInUse == SUPER_ENTRIES) return ERR_WRONGUSAGE;
  if (!bitmap && !w->jpegData) return ERR_WRONGUSAGE;

  // Encode first, so that a frame that fails leaves the file as it was.
  if (bitmap) {
    BitmapHandle* source = bitmap;
    OwnedBitmap scaled;
    if (bitmapWidth != w->width || bitmapHeight != w->height) {
      BitmapHandle* made = nullptr;
      BitmapHandle* noMask = nullptr;
      BitmapHandle* noAlpha = nullptr;
      ErrorCode error =
          TransformBitmap(bitmap, nullptr, nullptr, 0, 0, nullptr, bitmapWidth, bitmapHeight,
                          w->width, w->height, w->smoothing, &made, &noMask, &noAlpha);
      if (error) return error;
      if (!made) return ERR_MEM;
      scaled.reset(made);
      source = made;
    }
    BitmapLock lock{};
    uint32_t* copy = nullptr;
    if (!LockBitmap(source, 1, &lock)) return ERR_LOCKBMAP;
    JpegEncodeRequest request{};
    request.width = w->width;
    request.height = w->height;
    request.quality = w->quality;
    if (lock.pixelFormat == PIXFMT_ARGB32 || lock.pixelFormat == PIXFMT_BGRA32) {
      request.pixels = lock.address;
      request.bytesPerRow = static_cast<size_t>(lock.rowLength) * 4;
      request.byteOrder = lock.pixelFormat == PIXFMT_BGRA32;
    } else {
      UnlockBitmap(&lock);
      copy = ReadBitmapRectARGB(source, 0, 0, w->width, w->height, 1);
      if (!copy) return ERR_MEM;
      request.pixels = copy;
      request.bytesPerRow = static_cast<size_t>(w->width) * 4;
    }
    EncodeJpegToMemory(&request);
    if (copy)
      FreeMemory(copy);
    else
      UnlockBitmap(&lock);
    if (request.result) return request.result;
    FreeJpegBuffer(w->jpegHolder);
    w->jpegHolder = request.holder;
    w->jpegData = request.data;
    w->jpegSize = request.length;
    // The APP0 identifier of Motion-JPEG frames in AVI files.
    if (w->jpegSize >= 10) memcpy(const_cast<uint8_t*>(w->jpegData) + 6, "AVI1", 4);
  }

  if (newRiff) {
    if (w->idx1Active) {
      appendIndexFile(w);
      w->idx1Active = 0;
    }
    closeSegment(w);
    finishRiffSizes(w);
    beginRiff(w, "AVIX");
    beginMovi(w);
    w->riffLimit = laterRiffLimit;
  }
  if (segmentDue) beginSegment(w);

  uint64_t audioPos = w->position;
  putId(w, "00wb");
  put32(w, w->audioBlockSize);
  putBytes(w, w->audioBlock, w->audioBlockSize);
  w->entries[0][w->entriesInSegment] = {static_cast<uint32_t>(audioPos + 8 - w->segmentBase),
                                        w->audioBlockSize};

  uint32_t size = static_cast<uint32_t>(w->jpegSize);
  uint64_t videoPos = w->position;
  putId(w, "01dc");
  put32(w, size);
  putBytes(w, w->jpegData, size);
  if (size & 1) putZeros(w, 1);
  w->entries[1][w->entriesInSegment] = {static_cast<uint32_t>(videoPos + 8 - w->segmentBase), size};
  w->entriesInSegment++;
  if (size > w->largestVideoChunk) w->largestVideoChunk = size;

  if (w->idx1Active) {
    uint32_t entry[8] = {0, AVIIF_KEYFRAME, static_cast<uint32_t>(audioPos), w->audioBlockSize,
                         0, AVIIF_KEYFRAME, static_cast<uint32_t>(videoPos), size};
    memcpy(&entry[0], CHUNK_IDS[0], 4);
    memcpy(&entry[4], CHUNK_IDS[1], 4);
    putIndexFile(w, entry, sizeof entry);
  }

  w->totalFrames++;
  w->framesInRiff++;
  uint32_t padded = size + (size & 1);
  w->videoBytes += padded;
  w->videoBytesInRiff += padded;
  w->clock.seconds += w->frameDuration.seconds;
  w->clock.micros += w->frameDuration.micros;
  if (w->clock.micros >= 1000000) {
    w->clock.micros -= 1000000;
    w->clock.seconds++;
  }
  w->totalSamples += static_cast<uint64_t>(w->samplesPerFrame);
  w->samplesInRiff += static_cast<uint64_t>(w->samplesPerFrame);
  return w->ioError;
}

ErrorCode AviFinish(AviWriter* w) {
  if (!w) return 0;
  closeSegment(w);
  if (w->idx1Active) {
    appendIndexFile(w);
    w->idx1Active = 0;
  }
  finishRiffSizes(w);
  seekTo(w, 12);
  putHeaderList(w);
  ErrorCode result = w->ioError;
  if (!CloseFileStream(w->output) && !result) result = ERR_CLOSEFILE;
  w->output = nullptr;
  freeWriter(w);
  return result;
}

TimeValue GetAviWriterClock(const AviWriter* w) { return w->clock; }

void SetAviRiffLimits(int64_t first, int64_t later) {
  firstRiffLimit = first > 0 ? first : FIRST_RIFF_LIMIT;
  laterRiffLimit = later > 0 ? later : LATER_RIFF_LIMIT;
}
