// PNG reading and writing through libpng: stream callbacks, the error
// hand-over and the transformations that bring every PNG to 8-bit RGB or
// RGBA words. libpng's error exit long-jumps, so every libpng call runs in
// a glue function that holds only plain data in a job record; the jump
// lands in that same function, which frees what the record lists.
// Invariant: a failed read frees every buffer it made and hands out none.
#include <png.h>

#include <csetjmp>
#include <cstring>

#include "media/image_private.h"
#include "media/media.h"

static_assert(
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
    "rows are decoded as B, G, R, A bytes, which are 0xAARRGGBB words only on little-endian hosts");

namespace {

constexpr png_alloc_size_t PNG_CHUNK_BYTES_MAX = 8000000;  // libpng's suggested limit
// Largest single libpng allocation: a row of IMAGE_MAX_SIDE 16-bit RGBA
// pixels (8 MB) and the chunk limit fit with room to spare.
constexpr png_alloc_size_t PNG_ALLOCATION_MAX = 64u << 20;
// Deflate's largest expansion: a 258-byte match costs at least 2 bits,
// about 1,032 bytes out for one in.
constexpr uint64_t DEFLATE_MAX_RATIO = 1032;

struct PngReadJob {
  StreamHandle* stream;
  int infoOnly;
  png_structp png;
  png_infop info;
  png_infop end;
  uint32_t* pixels;
  png_bytep* rows;
  png_uint_32 width;
  png_uint_32 height;
  int32_t hasAlpha;
  int memFailed;  // an allocation of ours or of libpng's failed
  ErrorCode error;
  jmp_buf jump;
};

struct PngWriteJob {
  PngWriteRequest* request;
  StreamHandle* stream;
  png_structp png;
  png_infop info;
  uint8_t* row;
  int memFailed;
  int writeFailed;
  jmp_buf jump;
};

// Both jobs begin differently, so the handlers get the jump buffer from a
// small header each job type fills in: the error pointer is the jmp_buf.
[[noreturn]] void errorHandler(png_structp png, png_const_charp) {
  auto* jump = static_cast<jmp_buf*>(png_get_error_ptr(png));
  std::longjmp(*jump, 1);
}
void errorHandlerChecked(png_structp png, png_const_charp message) {
  if (!png || !png_get_error_ptr(png)) return;
  errorHandler(png, message);
}
void warningHandler(png_structp, png_const_charp) {}

// libpng's allocations go through AllocMemory so that failures are counted
// and reported as out of memory. The memory pointer is the job's flag word.
// A single request beyond any row or chunk buffer a picture within the
// limits needs comes from a damaged length field: it is refused (libpng
// then fails the file) without counting as a memory failure.
png_voidp allocHandler(png_structp png, png_alloc_size_t size) {
  if (size > PNG_ALLOCATION_MAX) return nullptr;
  void* block = AllocMemory(size ? size : 1, 0);
  if (!block) *static_cast<int*>(png_get_mem_ptr(png)) = 1;
  return block;
}
void freeHandler(png_structp, png_voidp block) { FreeMemory(block); }

void readCallback(png_structp png, png_bytep data, size_t length) {
  auto* stream = static_cast<StreamHandle*>(png_get_io_ptr(png));
  if (ReadStream(stream, data, length) != length) png_error(png, "Read error!");
}

void writeCallback(png_structp png, png_bytep data, size_t length) {
  auto* job = static_cast<PngWriteJob*>(png_get_io_ptr(png));
  if (WriteStream(job->stream, data, length) != length) {
    job->writeFailed = 1;
    png_error(png, "Write error!");
  }
}
void flushCallback(png_structp png) {
  auto* job = static_cast<PngWriteJob*>(png_get_io_ptr(png));
  FlushStream(job->stream);
}

void readGlue(PngReadJob* job) {
  job->png = png_create_read_struct_2(PNG_LIBPNG_VER_STRING, &job->jump, errorHandlerChecked,
                                      warningHandler, &job->memFailed, allocHandler, freeHandler);
  if (!job->png) {
    job->error = ERR_MEM;
    return;
  }
  job->info = png_create_info_struct(job->png);
  job->end = job->info ? png_create_info_struct(job->png) : nullptr;
  if (!job->end) {
    png_destroy_read_struct(&job->png, &job->info, nullptr);
    job->error = ERR_MEM;
    return;
  }
  if (setjmp(job->jump)) {
    FreeMemory(job->rows);
    FreeMemory(job->pixels);
    job->rows = nullptr;
    job->pixels = nullptr;
    png_destroy_read_struct(&job->png, &job->info, &job->end);
    job->error = job->memFailed ? ERR_MEM : ERR_LOADPICTURE2;
    return;
  }
  // Ancillary chunks are read whole: a declared length must not become an
  // allocation of gigabytes before the data turns out to be missing.
  png_set_chunk_malloc_max(job->png, PNG_CHUNK_BYTES_MAX);
  png_set_user_limits(job->png, IMAGE_MAX_SIDE, IMAGE_MAX_SIDE);
  png_set_read_fn(job->png, job->stream, readCallback);
  png_read_info(job->png, job->info);
  int bitDepth, colourType;
  png_get_IHDR(job->png, job->info, &job->width, &job->height, &bitDepth, &colourType, nullptr,
               nullptr, nullptr);
  job->hasAlpha =
      (colourType & PNG_COLOR_MASK_ALPHA) || png_get_valid(job->png, job->info, PNG_INFO_tRNS);
  if (job->infoOnly) {
    png_destroy_read_struct(&job->png, &job->info, &job->end);
    return;
  }
  size_t count;
  job->error = ImagePixelCount(job->width, job->height, &count);
  // Deflate gives at most DEFLATE_MAX_RATIO bytes for one: rows the rest of
  // the file cannot hold are refused before the pixels are allocated.
  const int64_t left = StreamBytesLeft(job->stream);
  const uint64_t rowBytes =
      (static_cast<uint64_t>(job->width) * png_get_channels(job->png, job->info) * bitDepth + 7) /
          8 +
      1;
  if (!job->error && left >= 0 &&
      rowBytes * job->height > static_cast<uint64_t>(left) * DEFLATE_MAX_RATIO)
    job->error = ERR_LOADPICTURE2;
  if (job->error) {
    png_destroy_read_struct(&job->png, &job->info, &job->end);
    return;
  }
  if (colourType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(job->png);
  if (colourType == PNG_COLOR_TYPE_GRAY && bitDepth < 8) png_set_expand_gray_1_2_4_to_8(job->png);
  if (png_get_valid(job->png, job->info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(job->png);
  if (bitDepth == 16) png_set_strip_16(job->png);
  if (colourType == PNG_COLOR_TYPE_GRAY || colourType == PNG_COLOR_TYPE_GRAY_ALPHA)
    png_set_gray_to_rgb(job->png);
  // B, G, R, A bytes are the little-endian word 0xAARRGGBB; pictures
  // without alpha get a zero filler byte, which is the alpha byte 0.
  png_set_bgr(job->png);
  if (!job->hasAlpha) png_set_filler(job->png, 0, PNG_FILLER_AFTER);
  png_set_interlace_handling(job->png);
  png_read_update_info(job->png, job->info);
  if (png_get_rowbytes(job->png, job->info) != static_cast<size_t>(job->width) * 4)
    png_error(job->png, "row size");
  job->pixels = static_cast<uint32_t*>(AllocMemoryArray(count, sizeof(uint32_t), 0));
  job->rows = static_cast<png_bytep*>(AllocMemoryArray(job->height, sizeof(png_bytep), 0));
  if (!job->pixels || !job->rows) {
    job->memFailed = 1;
    png_error(job->png, "Out of memory!");
  }
  for (png_uint_32 y = 0; y < job->height; y++)
    job->rows[y] = reinterpret_cast<png_bytep>(job->pixels + static_cast<size_t>(y) * job->width);
  // Interlaced files: libpng composes every pass into these rows.
  png_read_image(job->png, job->rows);
  png_read_end(job->png, job->end);
  FreeMemory(job->rows);
  job->rows = nullptr;
  png_destroy_read_struct(&job->png, &job->info, &job->end);
}

void writeGlue(PngWriteJob* job) {
  PngWriteRequest* r = job->request;
  job->png = png_create_write_struct_2(PNG_LIBPNG_VER_STRING, &job->jump, errorHandlerChecked,
                                       warningHandler, &job->memFailed, allocHandler, freeHandler);
  job->info = job->png ? png_create_info_struct(job->png) : nullptr;
  if (!job->info) {
    png_destroy_write_struct(&job->png, nullptr);
    r->result = ERR_MEM;
    return;
  }
  if (setjmp(job->jump)) {
    png_destroy_write_struct(&job->png, &job->info);
    CloseFileStream(job->stream);
    FreeMemory(job->row);
    job->stream = nullptr;
    job->row = nullptr;
    r->result = job->writeFailed ? ERR_WRITE : ERR_MEM;
    return;
  }
  job->stream = OpenFileStream(r->fileName, STREAM_WRITE, nullptr);
  if (!job->stream) {
    png_destroy_write_struct(&job->png, &job->info);
    r->result = ERR_WRITEFILE;
    return;
  }
  png_set_write_fn(job->png, job, writeCallback, flushCallback);
  png_set_IHDR(job->png, job->info, static_cast<png_uint_32>(r->width),
               static_cast<png_uint_32>(r->height), 8,
               r->alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(job->png, job->info);
  job->row = static_cast<uint8_t*>(AllocMemoryArray(static_cast<size_t>(r->width), 4, 0));
  if (!job->row) {
    job->memFailed = 1;
    png_error(job->png, "Out of memory!");
  }
  const auto* source = reinterpret_cast<const uint8_t*>(r->pixels);
  for (int32_t y = 0; y < r->height; y++) {
    const auto* words = reinterpret_cast<const uint32_t*>(source);
    uint8_t* d = job->row;
    for (int32_t x = 0; x < r->width; x++) {
      uint32_t c = words[x];
      *d++ = static_cast<uint8_t>(c >> 16);
      *d++ = static_cast<uint8_t>(c >> 8);
      *d++ = static_cast<uint8_t>(c);
      if (r->alpha) *d++ = static_cast<uint8_t>(c >> 24);
    }
    png_write_row(job->png, job->row);
    source += r->bytesPerRow;
  }
  png_write_end(job->png, job->info);
  png_destroy_write_struct(&job->png, &job->info);
  FreeMemory(job->row);
  job->row = nullptr;
  // Data still buffered goes out at the close: its failure is a failed write.
  r->result = CloseFileStream(job->stream) ? 0 : ERR_CLOSEFILE;
  job->stream = nullptr;
}

}  // namespace

ErrorCode ReadPng(StreamHandle* stream, int infoOnly, int32_t* width, int32_t* height,
                  uint32_t** pixels, int32_t* hasAlpha) {
  PngReadJob job;
  std::memset(&job, 0, sizeof job);
  job.stream = stream;
  job.infoOnly = infoOnly;
  readGlue(&job);
  if (job.error) return job.error;
  if (width) *width = static_cast<int32_t>(job.width);
  if (height) *height = static_cast<int32_t>(job.height);
  if (hasAlpha) *hasAlpha = job.hasAlpha;
  if (!infoOnly) *pixels = job.pixels;
  return 0;
}

void WritePng(PngWriteRequest* request) {
  request->result = 0;
  if (request->width < 1 || request->height < 1 || !request->pixels ||
      request->bytesPerRow / 4 < static_cast<size_t>(request->width)) {
    request->result = ERR_WRONGUSAGE;
    return;
  }
  PngWriteJob job;
  std::memset(&job, 0, sizeof job);
  job.request = request;
  writeGlue(&job);
}
