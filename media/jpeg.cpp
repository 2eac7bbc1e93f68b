// JPEG reading and writing through libjpeg: an error manager that
// long-jumps back instead of ending the process, a data source over a
// stream or a memory block, a destination that collects the compressed data
// in one growing block, CMYK with the Adobe inversion rule and the Exif
// orientation applied while scanlines arrive. Every libjpeg call runs in a
// glue function that holds only plain data in a job record, where the jump
// lands. Invariant: a failure frees every buffer made and hands out none;
// compressed data never goes beyond its block, which grows as needed.
#include <cstdio>  // jpeglib.h needs FILE and size_t first

#include <jerror.h>
#include <jpeglib.h>

#include <csetjmp>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "media/image_private.h"
#include "media/media.h"

namespace {

constexpr size_t JPEG_IO_BUFFER = 4096;
constexpr size_t JPEG_READ_BUFFER = 65536;  // stream reads: fewer, larger calls
constexpr unsigned ADOBE_MARKER = JPEG_APP0 + 14;
constexpr unsigned ADOBE_KEEP_BYTES = 256;

struct ErrorManager {
  jpeg_error_mgr pub;
  int memFailed;
  jmp_buf jump;
};

[[noreturn]] void errorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
  std::longjmp(err->jump, 1);
}
void emitMessage(j_common_ptr, int) {}
void outputMessage(j_common_ptr) {}
void formatMessage(j_common_ptr, char* buffer) { buffer[0] = 0; }
void resetErrorManager(j_common_ptr cinfo) {
  cinfo->err->num_warnings = 0;
  cinfo->err->msg_code = 0;
}

void setupErrors(ErrorManager* err) {
  jpeg_std_error(&err->pub);
  err->pub.error_exit = errorExit;
  err->pub.emit_message = emitMessage;
  err->pub.output_message = outputMessage;
  err->pub.format_message = formatMessage;
  err->pub.reset_error_mgr = resetErrorManager;
}

struct Source {
  jpeg_source_mgr pub;
  StreamHandle* stream;
  const uint8_t* memory;
  size_t position;
  size_t size;
  int startOfData;
  JOCTET buffer[JPEG_READ_BUFFER];
};

const JOCTET fakeEndOfImage[2] = {0xFF, JPEG_EOI};

void initSource(j_decompress_ptr cinfo) { reinterpret_cast<Source*>(cinfo->src)->startOfData = 1; }

boolean fillInput(j_decompress_ptr cinfo) {
  auto* src = reinterpret_cast<Source*>(cinfo->src);
  size_t n;
  if (src->stream) {
    n = ReadStream(src->stream, src->buffer, JPEG_READ_BUFFER);
    src->pub.next_input_byte = src->buffer;
  } else {
    // The memory block is handed over in place.
    n = src->size - src->position;
    src->pub.next_input_byte = src->memory + src->position;
    src->position = src->size;
  }
  if (n == 0) {
    if (src->startOfData) ERREXIT(cinfo, JERR_INPUT_EMPTY);
    WARNMS(cinfo, JWRN_JPEG_EOF);
    src->pub.next_input_byte = fakeEndOfImage;
    n = 2;
  }
  src->pub.bytes_in_buffer = n;
  src->startOfData = 0;
  return TRUE;
}

void skipInput(j_decompress_ptr cinfo, long count) {
  auto* src = reinterpret_cast<Source*>(cinfo->src);
  if (count <= 0) return;
  while (count > static_cast<long>(src->pub.bytes_in_buffer)) {
    count -= static_cast<long>(src->pub.bytes_in_buffer);
    fillInput(cinfo);
  }
  src->pub.next_input_byte += count;
  src->pub.bytes_in_buffer -= static_cast<size_t>(count);
}

void termSource(j_decompress_ptr) {}

struct DecodeJob {
  StreamHandle* stream;
  const uint8_t* memory;
  size_t memorySize;
  int infoOnly;
  int32_t orientation;
  int32_t width;
  int32_t height;
  uint32_t* pixels;
  int created;
  ErrorCode error;
  jpeg_decompress_struct cinfo;
  ErrorManager err;
};

// Where source pixel (x, y) of a scanline goes, for the output size w x h.
inline size_t orientedIndex(int32_t o, size_t x, size_t y, size_t w, size_t h) {
  switch (o) {
    case 2:
      return y * w + (w - 1 - x);
    case 3:
      return (h - 1 - y) * w + (w - 1 - x);
    case 4:
      return (h - 1 - y) * w + x;
    case 5:
      return x * w + y;
    case 6:
      return x * w + (w - 1 - y);
    case 7:
      return (h - 1 - x) * w + (w - 1 - y);
    case 8:
      return (h - 1 - x) * w + y;
    default:
      return y * w + x;
  }
}

// Copies a row of words with the alpha byte cleared. The picture is far
// larger than the cache and is not read again here, so whole 16-byte
// blocks are written past the cache: no line is fetched only to be
// overwritten.
void copyWithoutAlpha(uint32_t* out, const uint32_t* in, size_t n) {
  size_t x = 0;
#ifdef __SSE2__
  while (x < n && (reinterpret_cast<uintptr_t>(out + x) & 15)) {
    out[x] = in[x] & 0x00FFFFFFu;
    x++;
  }
  const __m128i mask = _mm_set1_epi32(0x00FFFFFF);
  for (; x + 4 <= n; x += 4) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + x));
    _mm_stream_si128(reinterpret_cast<__m128i*>(out + x), _mm_and_si128(v, mask));
  }
#endif
  for (; x < n; x++) out[x] = in[x] & 0x00FFFFFFu;
}

void decodeGlue(DecodeJob* job) {
  j_decompress_ptr cinfo = &job->cinfo;
  setupErrors(&job->err);
  cinfo->err = &job->err.pub;
  if (setjmp(job->err.jump)) {
    FreeMemory(job->pixels);
    job->pixels = nullptr;
    if (job->created) jpeg_destroy_decompress(cinfo);
    job->error = ERR_LOADPICTURE2;
    return;
  }
  jpeg_create_decompress(cinfo);
  job->created = 1;
  auto* src = static_cast<Source*>((*cinfo->mem->alloc_small)(reinterpret_cast<j_common_ptr>(cinfo),
                                                              JPOOL_PERMANENT, sizeof(Source)));
  src->pub.init_source = initSource;
  src->pub.fill_input_buffer = fillInput;
  src->pub.skip_input_data = skipInput;
  src->pub.resync_to_restart = jpeg_resync_to_restart;
  src->pub.term_source = termSource;
  src->pub.bytes_in_buffer = 0;
  src->pub.next_input_byte = nullptr;
  src->stream = job->stream;
  src->memory = job->memory;
  src->position = 0;
  src->size = job->memorySize;
  cinfo->src = &src->pub;
  jpeg_save_markers(cinfo, ADOBE_MARKER, ADOBE_KEEP_BYTES);
  jpeg_read_header(cinfo, TRUE);

  const bool cmyk = cinfo->jpeg_color_space == JCS_CMYK || cinfo->jpeg_color_space == JCS_YCCK;
  const int32_t o = cmyk ? 1 : job->orientation;
  int32_t w = static_cast<int32_t>(cinfo->image_width),
          h = static_cast<int32_t>(cinfo->image_height);
  job->width = o > 4 ? h : w;
  job->height = o > 4 ? w : h;
  if (job->infoOnly) {
    jpeg_destroy_decompress(cinfo);
    return;
  }
  size_t count;
  job->error = ImagePixelCount(w, h, &count);
  // Every 8 x 8 block of a Huffman-coded picture costs at least one bit,
  // its DC code: a picture the rest of the data cannot hold is refused
  // before its pixels are allocated (a cut scan would decode as grey).
  if (!job->error && !cinfo->arith_code) {
    int64_t left = job->stream ? StreamBytesLeft(job->stream)
                               : static_cast<int64_t>(src->size - src->position);
    const uint64_t blocks =
        (static_cast<uint64_t>(w) + 7) / 8 * ((static_cast<uint64_t>(h) + 7) / 8);
    if (left >= 0 && blocks / 8 > static_cast<uint64_t>(left) + src->pub.bytes_in_buffer)
      job->error = ERR_LOADPICTURE2;
  }
  if (job->error) {
    jpeg_destroy_decompress(cinfo);
    return;
  }
#ifdef JCS_EXTENSIONS
  // Upright RGB pictures decode straight into the words: B, G, R, X bytes.
  const bool direct = !cmyk && o == 1;
  cinfo->out_color_space = cmyk ? JCS_CMYK : direct ? JCS_EXT_BGRX : JCS_RGB;
#else
  const bool direct = false;
  cinfo->out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
#endif
  jpeg_start_decompress(cinfo);
  bool adobe = false;
  if (cmyk)
    for (jpeg_saved_marker_ptr m = cinfo->marker_list; m; m = m->next)
      if (m->marker == ADOBE_MARKER && m->data_length > 11 && std::memcmp(m->data, "Adobe", 5) == 0)
        adobe = true;
  job->pixels = static_cast<uint32_t*>(AllocMemoryArray(count, sizeof(uint32_t), 0));
  if (!job->pixels) {
    jpeg_destroy_decompress(cinfo);
    job->error = ERR_MEM;
    return;
  }
  const size_t W = static_cast<size_t>(job->width), H = static_cast<size_t>(job->height);
  const size_t sw = cinfo->output_width;
  if (direct) {
    // Rows arrive in a small buffer that stays in the cache and are copied
    // out with the alpha byte cleared: one pass over the picture. The rows
    // start 4 bytes past an aligned address because the library's SIMD
    // colour conversion writes aligned rows past the cache, which would
    // make the copy fetch them back from memory.
    constexpr JDIMENSION BATCH = 4;
    JSAMPARRAY rows =
        (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE,
                                    static_cast<JDIMENSION>(sw * 4 + 16), BATCH);
    for (JDIMENSION k = 0; k < BATCH; k++) rows[k] += 4;
    while (cinfo->output_scanline < cinfo->output_height) {
      size_t y = cinfo->output_scanline;
      JDIMENSION got = jpeg_read_scanlines(cinfo, rows, BATCH);
      for (JDIMENSION k = 0; k < got; k++)
        copyWithoutAlpha(job->pixels + (y + k) * sw, reinterpret_cast<const uint32_t*>(rows[k]),
                         sw);
    }
#ifdef __SSE2__
    _mm_sfence();
#endif
  } else {
    const int comps = cinfo->output_components;
    JSAMPARRAY line =
        (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE,
                                    static_cast<JDIMENSION>(sw * static_cast<size_t>(comps)), 1);
    while (cinfo->output_scanline < cinfo->output_height) {
      size_t y = cinfo->output_scanline;
      jpeg_read_scanlines(cinfo, line, 1);
      const JSAMPLE* p = line[0];
      uint32_t* out = job->pixels;
      if (cmyk) {
        for (size_t x = 0; x < sw; x++, p += 4) {
          uint32_t c = p[0], m = p[1], ye = p[2], k = p[3];
          if (adobe) {
            c = 255 - c;
            m = 255 - m;
            ye = 255 - ye;
            k = 255 - k;
          }
          uint32_t r = (255 - c) * (255 - k) / 255, g = (255 - m) * (255 - k) / 255,
                   b = (255 - ye) * (255 - k) / 255;
          out[y * sw + x] = (r << 16) | (g << 8) | b;
        }
      } else {
        for (size_t x = 0; x < sw; x++, p += 3)
          out[orientedIndex(o, x, y, W, H)] = (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
      }
    }
  }
  jpeg_finish_decompress(cinfo);
  jpeg_destroy_decompress(cinfo);
}

struct EncodeJob;
struct Destination {
  jpeg_destination_mgr pub;
  EncodeJob* job;
  JOCTET buffer[JPEG_IO_BUFFER];
};

struct EncodeJob {
  JpegEncodeRequest* request;
  uint8_t* block;
  size_t capacity;
  size_t length;
  uint8_t* scanline;
  int created;
  jpeg_compress_struct cinfo;
  ErrorManager err;
};

// Appends to the output block, doubling it when full.
bool appendOutput(EncodeJob* job, const JOCTET* data, size_t n) {
  if (n > job->capacity - job->length) {
    size_t need, grown = job->capacity;
    if (__builtin_add_overflow(job->length, n, &need)) return false;
    while (grown < need)
      if (__builtin_mul_overflow(grown, size_t{2}, &grown)) return false;
    auto* block = static_cast<uint8_t*>(AllocMemory(grown, 0));
    if (!block) return false;
    std::memcpy(block, job->block, job->length);
    FreeMemory(job->block);
    job->block = block;
    job->capacity = grown;
  }
  std::memcpy(job->block + job->length, data, n);
  job->length += n;
  return true;
}

void initDestination(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<Destination*>(cinfo->dest);
  dest->pub.next_output_byte = dest->buffer;
  dest->pub.free_in_buffer = JPEG_IO_BUFFER;
}

boolean emptyOutput(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<Destination*>(cinfo->dest);
  if (!appendOutput(dest->job, dest->buffer, JPEG_IO_BUFFER))
    ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 0);
  dest->pub.next_output_byte = dest->buffer;
  dest->pub.free_in_buffer = JPEG_IO_BUFFER;
  return TRUE;
}

void termDestination(j_compress_ptr cinfo) {
  auto* dest = reinterpret_cast<Destination*>(cinfo->dest);
  if (!appendOutput(dest->job, dest->buffer, JPEG_IO_BUFFER - dest->pub.free_in_buffer))
    ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 0);
}

void encodeGlue(EncodeJob* job) {
  JpegEncodeRequest* r = job->request;
  j_compress_ptr cinfo = &job->cinfo;
  setupErrors(&job->err);
  cinfo->err = &job->err.pub;
  if (setjmp(job->err.jump)) {
    FreeMemory(job->block);
    FreeMemory(job->scanline);
    job->block = nullptr;
    job->scanline = nullptr;
    if (job->created) jpeg_destroy_compress(cinfo);
    r->result = ERR_MEM;
    return;
  }
  jpeg_create_compress(cinfo);
  job->created = 1;
  auto* dest = static_cast<Destination*>((*cinfo->mem->alloc_small)(
      reinterpret_cast<j_common_ptr>(cinfo), JPOOL_PERMANENT, sizeof(Destination)));
  dest->pub.init_destination = initDestination;
  dest->pub.empty_output_buffer = emptyOutput;
  dest->pub.term_destination = termDestination;
  dest->job = job;
  cinfo->dest = &dest->pub;
  cinfo->image_width = static_cast<JDIMENSION>(r->width);
  cinfo->image_height = static_cast<JDIMENSION>(r->height);
  cinfo->input_components = 3;
  cinfo->in_color_space = JCS_RGB;
  jpeg_set_defaults(cinfo);
  jpeg_set_quality(cinfo, r->quality, TRUE);
  jpeg_start_compress(cinfo, TRUE);
  job->scanline = static_cast<uint8_t*>(AllocMemoryArray(static_cast<size_t>(r->width), 3, 0));
  if (!job->scanline) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 0);
  const auto* source = static_cast<const uint8_t*>(r->pixels);
  JSAMPROW row[1] = {job->scanline};
  for (int32_t y = 0; y < r->height; y++) {
    uint8_t* d = job->scanline;
    if (r->byteOrder) {
      for (int32_t x = 0; x < r->width; x++, d += 3)
        std::memcpy(d, source + 4 * static_cast<size_t>(x) + 1, 3);
    } else {
      const auto* words = reinterpret_cast<const uint32_t*>(source);
      for (int32_t x = 0; x < r->width; x++, d += 3) {
        d[0] = static_cast<uint8_t>(words[x] >> 16);
        d[1] = static_cast<uint8_t>(words[x] >> 8);
        d[2] = static_cast<uint8_t>(words[x]);
      }
    }
    jpeg_write_scanlines(cinfo, row, 1);
    source += r->bytesPerRow;
  }
  jpeg_finish_compress(cinfo);
  jpeg_destroy_compress(cinfo);
  FreeMemory(job->scanline);
  job->scanline = nullptr;
}

}  // namespace

ErrorCode DecodeJpegImage(StreamHandle* stream, const uint8_t* memory, size_t memorySize,
                          int infoOnly, int32_t orientation, int32_t* width, int32_t* height,
                          uint32_t** pixels) {
  if (!stream && (!memory || memorySize == 0)) return ERR_LOADPICTURE2;
  auto* job = static_cast<DecodeJob*>(AllocMemory(sizeof(DecodeJob), 1));
  if (!job) return ERR_MEM;
  job->stream = stream;
  job->memory = stream ? nullptr : memory;
  job->memorySize = stream ? 0 : memorySize;
  job->infoOnly = infoOnly;
  job->orientation = orientation >= 1 && orientation <= 8 ? orientation : 1;
  decodeGlue(job);
  ErrorCode error = job->error;
  if (!error) {
    if (width) *width = job->width;
    if (height) *height = job->height;
    if (!infoOnly) *pixels = job->pixels;
  }
  FreeMemory(job);
  return error;
}

void EncodeJpegToMemory(JpegEncodeRequest* request) {
  request->result = 0;
  request->holder = nullptr;
  request->data = nullptr;
  request->length = 0;
  size_t raw;
  if (request->width < 1 || request->height < 1 || request->width > JPEG_MAX_DIMENSION ||
      request->height > JPEG_MAX_DIMENSION || !request->pixels ||
      request->bytesPerRow / 4 < static_cast<size_t>(request->width)) {
    request->result = ERR_WRONGUSAGE;
    return;
  }
  auto* holder = static_cast<JpegBuffer*>(AllocMemory(sizeof(JpegBuffer), 1));
  auto* job = static_cast<EncodeJob*>(AllocMemory(sizeof(EncodeJob), 1));
  // The first block holds the raw size (at least one I/O buffer); it grows
  // when small pictures compress to more than that.
  if (__builtin_mul_overflow(static_cast<size_t>(request->width) * 3,
                             static_cast<size_t>(request->height), &raw))
    raw = 0;
  if (raw < JPEG_IO_BUFFER) raw = JPEG_IO_BUFFER;
  uint8_t* block = holder && job && raw ? static_cast<uint8_t*>(AllocMemory(raw, 0)) : nullptr;
  if (!block) {
    FreeMemory(holder);
    FreeMemory(job);
    request->result = ERR_MEM;
    return;
  }
  job->request = request;
  job->block = block;
  job->capacity = raw;
  encodeGlue(job);
  if (request->result) {
    FreeMemory(holder);
  } else {
    holder->data = job->block;
    holder->length = job->length;
    request->holder = holder;
    request->data = holder->data;
    request->length = holder->length;
  }
  FreeMemory(job);
}

void FreeJpegBuffer(JpegBuffer* holder) {
  if (!holder) return;
  FreeMemory(holder->data);
  FreeMemory(holder);
}
