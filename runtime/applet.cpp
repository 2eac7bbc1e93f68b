// The applet container and its header: the start header that start-up
// walks for the six header texts, and ReadAppletHeader, which opens the
// plain or compressed container (a file of its own or appended to the
// program), reads every tagged section into the player record and the run's
// globals, loads the script's bytecode and reads the icon trailer.
//
// Invariant: every size, count and offset read from the applet is checked
// against the bytes that remain in the file before it is used: nothing is
// read, skipped or allocated beyond the end. A file that ends inside the
// tags, counts and fixed fields ends early (1198); a length-prefixed payload
// (a skipped section, the script, inline data, a counted text, an icon
// image) that holds fewer bytes than its length is short data (1009), as is
// a read that comes back short. Texts are cut to their fields.
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "platform/linux/platform.h"
#include "runtime/player.h"
#include "runtime/runtime_private.h"
#include "runtime/stream_private.h"

namespace {

constexpr int MAX_TREE_DEPTH = 64;       // menus and directories nest no deeper
constexpr size_t NAME_FIELD_SIZE = 256;  // labels, constants

// The icon table that the trailer fills: ten sizes, then the same ten for
// the second image set.
const char* const ICON_LABELS[ICON_TABLE_SIZE] = {
    "ic16x16",   "ic24x24",   "ic32x32",     "ic48x48",    "ic64x64",    "ic96x96",     "ic128x128",
    "ic256x256", "ic512x512", "ic1024x1024", "ic16x16s",   "ic24x24s",   "ic32x32s",    "ic48x48s",
    "ic64x64s",  "ic96x96s",  "ic128x128s",  "ic256x256s", "ic512x512s", "ic1024x1024s"};
const int32_t ICON_SIZES[10] = {16, 24, 32, 48, 64, 96, 128, 256, 512, 1024};

// A bounded reader over the container's stream: pos and end are offsets in
// the file; the applet begins at base.
class Reader {
 public:
  StreamHandle* stream = nullptr;
  uint64_t pos = 0;
  uint64_t end = 0;
  uint64_t base = 0;
  ErrorCode error = 0;

  uint64_t Remaining() const { return end > pos ? end - pos : 0; }
  bool Need(uint64_t n) {
    if (error) return false;
    if (Remaining() < n) {
      error = ERR_UNEXPECTEDEOF;
      return false;
    }
    return true;
  }
  // The length of a payload has been read: fewer bytes left is a payload
  // cut short, not an end inside the fixed fields.
  bool NeedPayload(uint64_t n) {
    if (error) return false;
    if (Remaining() < n) {
      error = ERR_READ;
      return false;
    }
    return true;
  }
  bool Bytes(void* out, size_t n) {
    if (!Need(n)) return false;
    if (n && ReadStream(stream, out, n) != n) {
      error = ERR_READ;
      return false;
    }
    pos += n;
    return true;
  }
  bool SkipPayload(uint64_t n) { return NeedPayload(n) && Skip(n); }
  bool Skip(uint64_t n) {
    if (!Need(n)) return false;
    if (n && SeekFileStream(stream, static_cast<int64_t>(n), 0) < 0) {
      error = ERR_READ;
      return false;
    }
    pos += n;
    return true;
  }
  uint32_t U8() {
    uint8_t b = 0;
    Bytes(&b, 1);
    return b;
  }
  uint32_t BE16() {
    uint8_t b[2] = {0, 0};
    Bytes(b, 2);
    return (uint32_t{b[0]} << 8) | b[1];
  }
  int32_t SBE16() { return static_cast<int16_t>(BE16()); }
  uint32_t BE32() {
    uint8_t b[4] = {0, 0, 0, 0};
    Bytes(b, 4);
    return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
  }
  int32_t SBE32() { return static_cast<int32_t>(BE32()); }
  double Double() {
    uint64_t bits = (uint64_t{BE32()} << 32);
    bits |= BE32();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }
  // A zero-terminated string (with invert: bit-inverted, ended by 0xFF).
  bool String(std::string* out, bool invert = false) {
    out->clear();
    for (;;) {
      uint8_t c;
      if (!Bytes(&c, 1)) return false;
      if (invert) {
        if (c == 0xFF) return true;
        c = static_cast<uint8_t>(~c);
      } else if (c == 0) {
        return true;
      }
      out->push_back(static_cast<char>(c));
    }
  }
  bool LengthString(std::string* out) {
    uint32_t n = BE16();
    if (!NeedPayload(n)) return false;
    out->assign(n, '\0');
    return Bytes(out->data(), n);
  }
  uint64_t AppletOffset() const { return pos - base; }
};

char* dupString(const std::string& s, ErrorCode* error) {
  auto* copy = static_cast<char*>(AllocMemory(s.size() + 1, 0));
  if (!copy) {
    *error = ERR_MEM;
    return nullptr;
  }
  std::memcpy(copy, s.c_str(), s.size() + 1);
  return copy;
}

// One header text into a 256-byte field: unchanged in UTF-8, else from
// Latin-1; a version string's first byte 0xFF stands for "$".
void storeHeaderText(char* field, const char* text, int utf8, bool version) {
  char local[HEADER_TEXT_SIZE * 4];
  StrCopyBounded(local, sizeof local, text);
  if (version && static_cast<uint8_t>(local[0]) == 0xFF) local[0] = '$';
  if (utf8) {
    // Cut at a character boundary so the field stays valid UTF-8.
    size_t n = std::strlen(local);
    if (n >= HEADER_TEXT_SIZE) {
      n = HEADER_TEXT_SIZE - 1;
      while (n > 0 && (static_cast<uint8_t>(local[n]) & 0xC0) == 0x80) n--;
      local[n] = '\0';
    }
    StrCopyBounded(field, HEADER_TEXT_SIZE, local);
  } else {
    Latin1ToUtf8(local, field, HEADER_TEXT_SIZE);
  }
}

char* headerField(PlayerRecord* record, uint32_t tag) {
  switch (tag) {
    case 11:
      return record->title;
    case 12:
      return record->versionString;
    case 13:
      return record->copyright;
    case 14:
      return record->authors;
    case 15:
      return record->description;
    case 34:
      return record->text6;
    default:
      return nullptr;
  }
}

bool versionAtLeast(const PlayerRecord* record, int32_t major, int32_t minor) {
  return record->versionMajor > major ||
         (record->versionMajor == major && record->versionMinor >= minor);
}

// The payload of the first declared display. Without a declaration the
// header's display settings go into the default display, which carries the
// applet's title like the one the preload would add (the title texts come
// first in every applet: the start header is read from them).
DisplayDescription* firstDisplay(PlayerRecord* record, ErrorCode* error) {
  for (DeclaredResource* r = record->resources; r; r = r->next)
    if (r->kind == 10) return static_cast<DisplayDescription*>(r->payload);
  if ((*error = AddDefaultDisplay(record, record->title))) return nullptr;
  for (DeclaredResource* r = record->resources; r; r = r->next)
    if (r->kind == 10) return static_cast<DisplayDescription*>(r->payload);
  return nullptr;
}

void readGradient(Reader& in, HeaderGradient* g) {
  g->kind = static_cast<int32_t>(in.U8());
  for (double& v : g->values) v = in.SBE32() / 1000000.0;
  uint32_t n = in.U8();
  g->colorCount = 0;
  for (uint32_t i = 0; i < n && !in.error; i++) {
    uint32_t color = in.BE32();
    double position = in.SBE32() / 1000000.0;
    if (i < 16) {
      g->colors[i] = color;
      g->positions[i] = position;
      g->colorCount = static_cast<int32_t>(i + 1);
    }
  }
}

void readBackfill(Reader& in, const PlayerRecord* record, BackfillSpec* b) {
  b->kind = static_cast<int32_t>(in.U8());
  switch (b->kind) {
    case 1:
      b->startColor = in.SBE32();
      break;
    case 2:
      b->startColor = in.SBE32();
      b->endColor = in.SBE32();
      break;
    case 3:
      b->brush = in.SBE32();
      break;
    case 4:
      b->brush = in.SBE32();
      b->x = in.SBE32();
      b->y = in.SBE32();
      b->startColor = in.SBE32();
      b->endColor = in.SBE32();
      if (versionAtLeast(record, 3, 2)) b->scalePicture = static_cast<int32_t>(in.U8());
      if (versionAtLeast(record, 6, 0)) b->smoothScale = static_cast<int32_t>(in.U8());
      break;
    default:
      break;
  }
  b->imageFile[0] = '\0';
}

// A BE32 count of five-word regions, checked against the file first.
ErrorCode readRegions(Reader& in, int32_t* count, DisplayRegion5** regions) {
  uint32_t n = in.BE32();
  if (in.error) return in.error;
  if (n == 0) return ERR_NONE;
  if (!in.Need(uint64_t{n} * 20)) return in.error;
  auto* list = static_cast<DisplayRegion5*>(AllocMemoryArray(n, sizeof(DisplayRegion5), 1));
  if (!list) return ERR_MEM;
  for (uint32_t i = 0; i < n; i++) {
    list[i].type = in.SBE32();
    list[i].x = in.SBE32();
    list[i].y = in.SBE32();
    list[i].width = in.SBE32();
    list[i].height = in.SBE32();
  }
  *regions = list;
  *count = static_cast<int32_t>(n);
  return in.error;
}

// Allocates a zeroed node and hangs it at *tail, which then points at the
// node's own link: lists read from the applet keep their order, and a list
// cut short by an error is still reachable for freeing.
template <typename T>
T* appendNode(T*** tail) {
  auto* node = static_cast<T*>(AllocMemory(sizeof(T), 1));
  if (!node) return nullptr;
  **tail = node;
  *tail = &node->next;
  return node;
}

// Allocates a zeroed payload of a declared resource and hangs it on the
// record, which frees it.
template <typename T>
T* newPayload(DeclaredResource* r) {
  auto* p = static_cast<T*>(AllocMemory(sizeof(T), 1));
  r->payload = p;
  return p;
}

ErrorCode readMenuList(Reader& in, MenuNode** out, int depth) {
  if (depth > MAX_TREE_DEPTH) return ERR_UNEXPECTEDEOF;
  MenuNode** tail = out;
  for (;;) {
    MenuNode* node = appendNode(&tail);
    if (!node) return ERR_MEM;
    std::string label, id, hotkey;
    ErrorCode error = 0;
    if (!in.LengthString(&label) || !in.LengthString(&id) || !in.LengthString(&hotkey))
      return in.error;
    if (!label.empty() && !(node->label = dupString(label, &error))) return error;
    if (!id.empty() && !(node->id = dupString(id, &error))) return error;
    if (!hotkey.empty() && !(node->hotkey = dupString(hotkey, &error))) return error;
    node->flags = in.BE32();
    uint32_t type = in.U8();
    if (in.error) return in.error;
    if (type == 2) {
      if ((error = readMenuList(in, &node->submenu, depth + 1))) return error;
      type = in.U8();
      if (in.error) return in.error;
    }
    if (type == 0) return ERR_NONE;
  }
}

ErrorCode readDirectoryTree(Reader& in, DirEntryNode** out, int depth) {
  if (depth > MAX_TREE_DEPTH) return ERR_UNEXPECTEDEOF;
  DirEntryNode** tail = out;
  for (;;) {
    uint32_t type = in.U8();
    if (in.error) return in.error;
    if (type == 0) return ERR_NONE;
    DirEntryNode* node = appendNode(&tail);
    if (!node) return ERR_MEM;
    std::string name;
    if (!in.LengthString(&name)) return in.error;
    ErrorCode error = 0;
    if (!(node->name = dupString(name, &error))) return error;
    if (type == 1) {
      node->isFile = 1;
      node->offset = in.BE32();
      node->size = in.BE32();
    } else if ((error = readDirectoryTree(in, &node->children, depth + 1))) {
      return error;
    }
  }
}

ErrorCode readLinkedPart(Reader& in, LinkedPart* part) {
  part->offset = in.BE32();
  part->size = in.BE32();
  part->extra1 = in.BE32();
  part->extra2 = in.BE32();
  std::string name, text;
  if (!in.LengthString(&name) || !in.LengthString(&text)) return in.error;
  ErrorCode error = 0;
  if (!(part->name = dupString(name, &error))) return error;
  if (!(part->text = dupString(text, &error))) return error;
  return ERR_NONE;
}

ErrorCode readIconEntries(Reader& in, IconEntry** out) {
  IconEntry** tail = out;
  for (;;) {
    uint32_t kind = in.U8();
    if (in.error) return in.error;
    if (kind == 0) return ERR_NONE;
    IconEntry* entry = appendNode(&tail);
    if (!entry) return ERR_MEM;
    entry->kind = static_cast<int32_t>(kind);
    entry->flags = in.BE32();
    if (kind == 3) {
      entry->image = in.SBE32();
      if (entry->flags & 1) entry->selImage = in.SBE32();
    } else if (kind == 44) {
      ErrorCode error = readLinkedPart(in, &entry->parts[0]);
      if (!error && (entry->flags & 1)) error = readLinkedPart(in, &entry->parts[1]);
      if (error) return error;
    }
    if (in.error) return in.error;
  }
}

ErrorCode readTagList(Reader& in, TagEntry** out) {
  uint32_t count = in.BE32();
  TagEntry** tail = out;
  for (uint32_t i = 0; i < count && !in.error; i++) {
    in.BE32();  // room of the value text; the text itself says its length
    std::string name;
    if (!in.String(&name)) break;
    TagEntry* tag = appendNode(&tail);
    if (!tag) return ERR_MEM;
    ErrorCode error = 0;
    if (!(tag->name = dupString(name, &error))) return error;
    tag->type = static_cast<int32_t>(in.U8());
    if (tag->type == 0) {
      tag->number = in.Double();
    } else {
      std::string value;
      if (!in.String(&value)) break;
      if (!(tag->text = dupString(value, &error))) return error;
    }
  }
  return in.error;
}

ErrorCode readDisplayPayload(Reader& in, PlayerRecord* record, DisplayDescription* d) {
  d->fillStyle = 1;
  d->bgpic = in.SBE32();
  d->x = in.SBE32();
  d->y = in.SBE32();
  d->width = in.SBE32();
  d->height = in.SBE32();
  d->color = in.SBE32();
  d->flags = in.BE32();
  d->notKept = in.SBE32();
  d->scaleWidth = in.SBE32();
  d->scaleHeight = in.SBE32();
  ErrorCode error = readRegions(in, &d->sizeRegionCount, &d->sizeRegions);
  if (!error) error = readRegions(in, &d->dragRegionCount, &d->dragRegions);
  if (error) return error;
  std::string text;
  if (!in.LengthString(&text)) return in.error;
  StrCopyBounded(d->title, sizeof d->title, text.c_str());
  if (versionAtLeast(record, 4, 7)) {
    d->fillStyle = static_cast<int32_t>(in.U8());
    d->keptWord = in.SBE32();
    d->keptShort = in.SBE16();
    d->textureBrush = in.SBE32();
    d->textureX = in.SBE32();
    d->textureY = in.SBE32();
  }
  if (versionAtLeast(record, 5, 0)) readGradient(in, &d->gradient);
  if (!versionAtLeast(record, 6, 0)) {
    if (versionAtLeast(record, 5, 2)) {
      in.LengthString(&text);
      if (versionAtLeast(record, 5, 3)) d->orientation = static_cast<int32_t>(in.U8());
    }
    return in.error;
  }
  in.LengthString(&text);
  d->orientation = static_cast<int32_t>(in.U8());
  d->monitor = static_cast<int32_t>(in.U8());
  uint32_t hasMenu = in.U8();
  int32_t menu = in.SBE32();
  d->menu = hasMenu ? menu : -1;
  d->displayMode = static_cast<int32_t>(in.U8());
  d->desktop = static_cast<int32_t>(in.U8());
  d->screenWidth = in.SBE16();
  d->screenHeight = in.SBE16();
  d->screenDepth = static_cast<int32_t>(in.U8());
  d->hideTitleBar = static_cast<int32_t>(in.U8());
  readBackfill(in, record, &d->backfill);
  for (int i = 0; i < 3 && !in.error; i++) in.LengthString(&text);
  if (versionAtLeast(record, 8, 0)) {
    in.LengthString(&text);
    d->scaleFactor = in.BE32() / 65536.0;
    d->flags2 = in.BE32();
  }
  return in.error;
}

// Reads a list payload with read and hangs the list on the record even when
// reading stopped part way, so the record frees what was built.
template <typename T, typename Read>
ErrorCode readListPayload(DeclaredResource* r, Read read) {
  T* list = nullptr;
  ErrorCode error = read(&list);
  r->payload = list;
  return error;
}

// The size an anim or image is scaled to when it loads, and whether smoothly.
template <typename T>
void readScaling(Reader& in, T* p) {
  p->scaleWidth = in.SBE32();
  p->scaleHeight = in.SBE32();
  p->smooth = in.SBE32();
}

// An anim's frame size, frame count, frames per row and position.
void readAnimGeometry(Reader& in, ImagePayload* p) {
  p->width = in.SBE16();
  p->height = in.SBE16();
  p->frames = in.SBE16();
  p->framesPerRow = in.SBE16();
  p->x = in.SBE16();
  p->y = in.SBE16();
}

ErrorCode readKindPayload(Reader& in, PlayerRecord* record, DeclaredResource* r) {
  switch (r->kind) {
    case 0: {
      auto* p = newPayload<PicturePayload>(r);
      if (!p) return ERR_MEM;
      p->gradient.kind = 2;
      p->gradient.values[0] = p->gradient.values[1] = p->gradient.values[2] = 0.5;
      if (versionAtLeast(record, 4, 7)) {
        p->fillStyle = static_cast<int32_t>(in.U8());
        p->fillColor = in.SBE32();
        p->keptWord = in.SBE32();
        p->keptShort = in.SBE16();
        p->textureBrush = in.SBE32();
        p->textureX = in.SBE32();
        p->textureY = in.SBE32();
      }
      if (versionAtLeast(record, 5, 0)) readGradient(in, &p->gradient);
      if (versionAtLeast(record, 5, 3)) readScaling(in, p);
      return in.error;
    }
    case 1:
    case 2:
    case 7: {
      auto* p = newPayload<ImagePayload>(r);
      if (!p) return ERR_MEM;
      p->globalAlpha = -1;
      if (r->kind == 1) {
        p->width = in.SBE16();
        p->height = in.SBE16();
        p->x = in.SBE16();
        p->y = in.SBE16();
        p->globalAlpha = in.SBE16();
        if (versionAtLeast(record, 5, 0)) p->hardware = static_cast<int32_t>(in.U8());
        if (versionAtLeast(record, 5, 3)) {
          readScaling(in, p);
          if (versionAtLeast(record, 6, 0)) p->display = in.SBE32();
        }
      } else if (r->kind == 2) {
        if (versionAtLeast(record, 3, 0)) p->fromDisk = static_cast<int32_t>(in.U8());
        if (versionAtLeast(record, 4, 1)) readAnimGeometry(in, p);
        if (versionAtLeast(record, 5, 3)) {
          p->skipLoopFrames = static_cast<int32_t>(in.U8());
          p->deinterlace = static_cast<int32_t>(in.U8());
        }
      } else {
        readAnimGeometry(in, p);
      }
      return in.error;
    }
    case 5: {
      auto* p = newPayload<ButtonPayload>(r);
      if (!p) return ERR_MEM;
      p->x1 = in.SBE16();
      p->y1 = in.SBE16();
      p->x2 = in.SBE16();
      p->y2 = in.SBE16();
      return in.error;
    }
    case 10:
      return readDisplayPayload(in, record, static_cast<DisplayDescription*>(r->payload));
    case 12:
      if (!versionAtLeast(record, 6, 0)) return ERR_NONE;
      return readListPayload<TagEntry>(r, [&](TagEntry** list) { return readTagList(in, list); });
    case 13:
      return readListPayload<MenuNode>(r,
                                       [&](MenuNode** list) { return readMenuList(in, list, 0); });
    case 16:
      return readListPayload<IconEntry>(
          r, [&](IconEntry** list) { return readIconEntries(in, list); });
    case 18:
      return readListPayload<DirEntryNode>(
          r, [&](DirEntryNode** list) { return readDirectoryTree(in, list, 0); });
    default:
      return ERR_NONE;
  }
}

// The record's file name: nameSize bytes at nameOffset of the applet, read
// with the position restored afterwards.
ErrorCode readRecordName(Reader& in, DeclaredResource* r) {
  uint64_t at = in.base + r->nameOffset;
  if (r->nameOffset > in.end - in.base || in.end - at < r->nameSize) return ERR_UNEXPECTEDEOF;
  auto* name = static_cast<char*>(AllocMemory(size_t{r->nameSize} + 1, 1));
  if (!name) return ERR_MEM;
  r->fileName = name;
  if (r->nameSize == 0) return ERR_NONE;
  int64_t back = SeekFileStream(in.stream, static_cast<int64_t>(at), 1);
  if (back < 0) return ERR_READ;
  size_t got = ReadStream(in.stream, name, r->nameSize);
  SeekFileStream(in.stream, back, 1);
  if (got != r->nameSize) return ERR_READ;
  name[r->nameSize] = '\0';
  return ERR_NONE;
}

ErrorCode readDeclaredResources(Reader& in, PlayerRunContext* context, PlayerRecord* record) {
  uint32_t count = in.BE32();
  for (uint32_t i = 0; i < count && !in.error; i++) {
    int32_t kind = static_cast<int32_t>(in.U8());
    int32_t id = in.SBE32();
    if (in.error) break;
    DeclaredResource* r = AddDeclaredResource(record, kind, id);
    if (!r) return ERR_MEM;
    r->nameOffset = in.BE32();
    r->nameSize = in.BE32();
    r->linkedOffset = in.BE32();
    r->linkedSize = in.BE32();
    r->linked = r->linkedSize != 0;
    r->transparency = in.SBE32();
    r->flags = in.BE32();
    r->line = in.SBE32();
    if (versionAtLeast(record, 6, 0)) {
      std::string loader, adapter;
      in.LengthString(&loader);
      in.LengthString(&adapter);
      StrCopyBounded(r->loader, sizeof r->loader, loader.c_str());
      StrCopyBounded(r->adapter, sizeof r->adapter, adapter.c_str());
    }
    if (in.error) break;
    if (r->linked &&
        (r->linkedOffset > in.end - in.base || in.end - in.base - r->linkedOffset < r->linkedSize))
      return ERR_UNEXPECTEDEOF;
    StrCopyBounded(r->sourceName, sizeof r->sourceName, player.containerPath);
    ErrorCode error = readRecordName(in, r);
    if (!error) error = readKindPayload(in, record, r);
    if (error) return error;
    if (kind == 9 && r->linked) {
      error = AddLinkedFont(record, r->fileName, 1, player.containerPath, r->linkedOffset + in.base,
                            r->linkedSize);
      if (error) return error;
    }
  }
  (void)context;
  return in.error;
}

ErrorCode readLineMap(Reader& in, PlayerRunContext* context, PlayerRecord* record, uint32_t tag) {
  uint32_t count = in.BE32();
  SourceLineEntry** tail = &record->lineMap;
  while (*tail) tail = &(*tail)->next;
  for (uint32_t i = 0; i < count && !in.error; i++) {
    int32_t first = in.SBE32();
    int32_t last = in.SBE32();
    int32_t offset = in.SBE32();
    std::string file, chunk;
    bool invert = tag == 33;
    if (!in.String(&file, invert)) break;
    if (tag != 8 && !in.String(&chunk, invert)) break;
    SourceLineEntry* e = appendNode(&tail);
    if (!e) return ERR_MEM;
    e->firstLine = first;
    e->lastLine = last;
    e->lineOffset = offset;
    StrCopyBounded(e->fileName, sizeof e->fileName, file.c_str());
    StrCopyBounded(e->chunkSource, sizeof e->chunkSource,
                   tag == 8 ? context->appletPath : chunk.c_str());
  }
  return in.error;
}

ErrorCode readEmbeddedFiles(Reader& in, PlayerRecord* record) {
  uint32_t count = in.BE32();
  in.BE32();
  for (uint32_t i = 0; i < count && !in.error; i++) {
    std::string name;
    if (!in.String(&name)) break;
    uint32_t s = in.BE32();
    if (in.error) break;
    uint64_t offset, size;
    if (s == 0xFFFFFFFFu) {
      offset = in.BE32();
      size = in.BE32();
      if (in.error) break;
      if (offset > in.end - in.base || in.end - in.base - offset < size) return ERR_UNEXPECTEDEOF;
    } else if (s == 0xFFFFFFFEu) {
      continue;
    } else {
      offset = in.AppletOffset();
      size = s;
      if (!in.SkipPayload(s)) break;
    }
    ErrorCode error =
        AddLinkedFont(record, name.c_str(), 0, player.containerPath, offset + in.base, size);
    if (error) return error;
  }
  return in.error;
}

ErrorCode readUserConstants(Reader& in, VmState* L) {
  for (;;) {
    std::string name;
    if (!in.String(&name)) return in.error;
    if (name.empty()) return ERR_NONE;
    if (name.size() >= NAME_FIELD_SIZE) name.resize(NAME_FIELD_SIZE - 1);
    uint32_t type = in.U8();
    ConstantTableEntry entry[2] = {{nullptr, nullptr, 0}, {nullptr, nullptr, 0}};
    std::string text;
    entry[0].name = name.c_str();
    if (type == 0) {
      entry[0].number = in.Double();
    } else {
      if (!in.String(&text)) return in.error;
      entry[0].text = text.c_str();
    }
    if (in.error) return in.error;
    if (L) VmRegisterConstants(L, entry, 1);
  }
}

ErrorCode readLabels(Reader& in, VmState* L) {
  uint32_t count = in.BE32();
  for (uint32_t i = 0; i < count && !in.error; i++) {
    int32_t position = in.SBE32();
    std::string name;
    if (!in.String(&name)) break;
    if (name.size() >= NAME_FIELD_SIZE) name.resize(NAME_FIELD_SIZE - 1);
    if (L) VmAddLabel(L, name.c_str(), position);
  }
  return in.error;
}

// What the section handlers share while the sections are read.
struct Sections {
  Reader& in;
  VmState* L;
  PlayerRunContext* context;
  PlayerRecord* record;
  int utf8 = 0;             // section 35: the strings that follow are UTF-8
  bool scriptRead = false;  // section 1 ends the sections
};

// One section's payload, the tag byte already read. A handler returns a
// code of its own; a reader error left in s.in ends the walk as well.
using SectionHandler = ErrorCode (*)(Sections& s, uint8_t tag);

// Applies a display setting to the first declared display once the
// section's fields have been read in full.
template <typename Apply>
ErrorCode setDisplay(Sections& s, Apply apply) {
  if (s.in.error) return s.in.error;
  ErrorCode error = 0;
  if (DisplayDescription* d = firstDisplay(s.record, &error)) apply(d);
  return error;
}

ErrorCode skipSection(Sections& s, uint8_t) {
  uint32_t n = s.in.BE32();
  s.in.SkipPayload(n);
  return ERR_NONE;
}

ErrorCode scriptSection(Sections& s, uint8_t) {
  Reader& in = s.in;
  uint32_t n = in.BE32();
  if (!in.NeedPayload(n)) return in.error;
  auto* code = static_cast<uint8_t*>(AllocMemory(n ? n : 1, 0));
  if (!code) return ERR_MEM;
  FreeMemory(s.record->bytecode);
  s.record->bytecode = code;
  s.record->bytecodeSize = n;
  in.Bytes(code, n);
  s.scriptRead = true;
  return ERR_NONE;
}

ErrorCode resourcesSection(Sections& s, uint8_t) {
  return readDeclaredResources(s.in, s.context, s.record);
}

ErrorCode displaySizeSection(Sections& s, uint8_t) {
  int32_t w = s.in.SBE16(), h = s.in.SBE16();
  return setDisplay(s, [&](DisplayDescription* d) {
    d->width = w;
    d->height = h;
  });
}

ErrorCode ignoredTextSection(Sections& s, uint8_t) {
  std::string text;
  s.in.LengthString(&text);
  return ERR_NONE;
}

ErrorCode displayColorSection(Sections& s, uint8_t) {
  int32_t color = s.in.SBE32();
  return setDisplay(s, [&](DisplayDescription* d) { d->color = color; });
}

ErrorCode displayPositionSection(Sections& s, uint8_t) {
  int32_t x = s.in.SBE32(), y = s.in.SBE32();
  return setDisplay(s, [&](DisplayDescription* d) {
    d->x = x;
    d->y = y;
  });
}

ErrorCode desktopSection(Sections&, uint8_t) {
  player.overrideDesktop = 1;
  return ERR_NONE;
}

ErrorCode lineMapSection(Sections& s, uint8_t tag) {
  return readLineMap(s.in, s.context, s.record, tag);
}

ErrorCode labelsSection(Sections& s, uint8_t) { return readLabels(s.in, s.L); }

ErrorCode versionSection(Sections& s, uint8_t) {
  int32_t major = static_cast<int32_t>(s.in.U8());
  int32_t minor = static_cast<int32_t>(s.in.U8());
  if (s.in.error) return s.in.error;
  if (major > PLAYER_VERSION_MAJOR ||
      (major == PLAYER_VERSION_MAJOR && minor > PLAYER_VERSION_MINOR)) {
    char version[32];
    std::snprintf(version, sizeof version, "%d.%d", major, minor);
    SetErrorArgString(version);
    return ERR_APPLETVERSION;
  }
  s.record->versionMajor = major;
  s.record->versionMinor = minor;
  VmSetAppletVersion(major, minor);
  GetPluginManagerHooks()->setAppletVersion(major, minor);
  if (major < 7) ConvertRunPathsToLatin1(s.L, s.context, s.record);
  return ERR_NONE;
}

ErrorCode headerTextSection(Sections& s, uint8_t tag) {
  std::string text;
  if (s.in.String(&text))
    storeHeaderText(headerField(s.record, tag), text.c_str(), s.utf8, tag == 12);
  return ERR_NONE;
}

ErrorCode modeSection(Sections& s, uint8_t) {
  player.overrideMode = static_cast<int32_t>(s.in.U8());
  return ERR_NONE;
}

ErrorCode backfillSection(Sections& s, uint8_t) {
  readBackfill(s.in, s.record, &player.overrideBackfill);
  return ERR_NONE;
}

// The window-flag bit that a one-byte display flag section sets.
uint32_t displayFlagOf(uint8_t tag) {
  switch (tag) {
    case 18:
      return 0x1;  // borderless
    case 19:
      return 0x4;  // fixed
    case 20:
      return 0x2;  // sizeable
    case 24:
      return 0x10;  // hide pointer
    case 25:
      return 0x8;  // no mode switch
    default:
      return 0x20;  // 30: no hide
  }
}

ErrorCode displayFlagSection(Sections& s, uint8_t tag) {
  uint32_t on = s.in.U8();
  if (!on) return ERR_NONE;
  return setDisplay(s, [&](DisplayDescription* d) { d->flags |= displayFlagOf(tag); });
}

ErrorCode hideTitleBarSection(Sections& s, uint8_t) {
  player.overrideHideTitleBar = static_cast<int32_t>(s.in.U8());
  return ERR_NONE;
}

ErrorCode screenSizeSection(Sections& s, uint8_t) {
  player.overrideScreenWidth = s.in.SBE16();
  player.overrideScreenHeight = s.in.SBE16();
  return ERR_NONE;
}

ErrorCode screenDepthSection(Sections& s, uint8_t) {
  player.overrideScreenDepth = static_cast<int32_t>(s.in.U8());
  return ERR_NONE;
}

ErrorCode embeddedFilesSection(Sections& s, uint8_t) { return readEmbeddedFiles(s.in, s.record); }

ErrorCode scalingSection(Sections& s, uint8_t) {
  uint32_t kind = s.in.U8();
  int32_t w = s.in.SBE32(), h = s.in.SBE32();
  uint32_t smooth = s.in.U8();
  return setDisplay(s, [&](DisplayDescription* d) {
    d->flags |= kind == 0 ? 0x40 : 0x100;
    d->scaleWidth = w;
    d->scaleHeight = h;
    if (smooth) d->flags |= 0x80;
  });
}

ErrorCode keepDisplaysSection(Sections& s, uint8_t) {
  s.context->keepDeclaredDisplays = 1;
  return ERR_NONE;
}

ErrorCode constantsSection(Sections& s, uint8_t) { return readUserConstants(s.in, s.L); }

ErrorCode runtimeSettingsSection(Sections& s, uint8_t) {
  PlayerRecord* record = s.record;
  record->runtimeSettings = s.in.BE32();
  if (versionAtLeast(record, 6, 0)) {
    record->runtimeSettings2 = s.in.BE32();
    record->runtimeSettings3 = s.in.BE32();
    record->runtimeSettingsByte = static_cast<int32_t>(s.in.U8());
  }
  return ERR_NONE;
}

ErrorCode encodingSection(Sections& s, uint8_t) {
  uint32_t flag = s.in.U8();
  if (s.in.error) return s.in.error;
  s.utf8 = flag == 1;
  if (flag == 0) ConvertRunPathsToLatin1(s.L, s.context, s.record);
  return ERR_NONE;
}

// The handler of every known tag, indexed by tag; a higher tag is an
// error.
constexpr SectionHandler SECTION_HANDLERS[] = {
    skipSection,             // 0
    scriptSection,           // 1
    resourcesSection,        // 2
    displaySizeSection,      // 3
    ignoredTextSection,      // 4
    displayColorSection,     // 5
    displayPositionSection,  // 6
    desktopSection,          // 7
    lineMapSection,          // 8: file names only
    labelsSection,           // 9
    versionSection,          // 10
    headerTextSection,       // 11: title
    headerTextSection,       // 12: version string
    headerTextSection,       // 13: copyright
    headerTextSection,       // 14: authors
    headerTextSection,       // 15: description
    modeSection,             // 16
    backfillSection,         // 17
    displayFlagSection,      // 18
    displayFlagSection,      // 19
    displayFlagSection,      // 20
    hideTitleBarSection,     // 21
    screenSizeSection,       // 22
    screenDepthSection,      // 23
    displayFlagSection,      // 24
    displayFlagSection,      // 25
    embeddedFilesSection,    // 26
    lineMapSection,          // 27: with chunk sources
    scalingSection,          // 28
    keepDisplaysSection,     // 29
    displayFlagSection,      // 30
    constantsSection,        // 31
    runtimeSettingsSection,  // 32
    lineMapSection,          // 33: bit-inverted
    headerTextSection,       // 34: sixth header text
    encodingSection,         // 35
};
static_assert(std::size(SECTION_HANDLERS) == 36, "tags 0 to 35 each have a handler");

// The sections from the byte after the magic up to and including the
// script section.
ErrorCode readSections(Reader& in, VmState* L, PlayerRunContext* context, PlayerRecord* record) {
  Sections s{in, L, context, record};
  while (!s.scriptRead) {
    uint8_t tag;
    if (!in.Bytes(&tag, 1)) return in.error;
    if (tag >= std::size(SECTION_HANDLERS)) return ERR_UNKNOWNSEC;
    ErrorCode error = SECTION_HANDLERS[tag](s, tag);
    if (error) return error;
    if (in.error) return in.error;
  }
  return ERR_NONE;
}

// The icon block after the script: "I", two bytes, then entries {BE16
// width, BE16 height, flags byte, BE32 size, data} until a width of 0.
ErrorCode readIconTrailer(Reader& in, const char* holder) {
  uint8_t c = 0;
  do {
    if (in.Remaining() == 0) return ERR_NONE;
    if (!in.Bytes(&c, 1)) return in.error;
  } while (c == 0);
  if (c != 'I') return ERR_NONE;
  if (!in.Skip(2)) return in.error;
  for (;;) {
    int32_t width = static_cast<int32_t>(in.BE16());
    if (in.error) return in.error;
    if (width == 0) return ERR_NONE;
    int32_t height = static_cast<int32_t>(in.BE16());
    uint32_t flags = in.U8();
    uint32_t size = in.BE32();
    if (in.error) return in.error;
    uint64_t offset = in.pos;
    if (!in.SkipPayload(size)) return in.error;
    if (width != height) continue;
    for (size_t i = 0; i < 10; i++) {
      if (ICON_SIZES[i] != width) continue;
      IconTableEntry& e = player.icons[i + ((flags & 1) ? 10 : 0)];
      char label[32];
      std::snprintf(label, sizeof label, "%dx%d", width, height);
      char name[2 * PLAYER_PATH_SIZE];
      if (!MakeChunkName(label, name, sizeof name, static_cast<int64_t>(offset), size, 0, holder))
        break;
      ErrorCode error = 0;
      char* copy = dupString(name, &error);
      if (!copy) return error;
      FreeMemory(e.imageName);
      e.imageName = copy;
      if (flags & 2) e.defaultImage = 1;
      break;
    }
  }
}

}  // namespace

void WalkStartHeader(const uint8_t* buffer, size_t length, PlayerRecord* record) {
  size_t pos = 4;
  int utf8 = 0;
  while (pos < length) {
    uint8_t tag = buffer[pos++];
    if (tag == 10) {
      if (length - pos < 2) return;
      pos += 2;
    } else if (tag == 29) {
    } else if (tag == 35) {
      if (pos >= length) return;
      utf8 = buffer[pos++] == 1;
    } else if (char* field = headerField(record, tag)) {
      const void* zero = std::memchr(buffer + pos, 0, length - pos);
      if (!zero) return;
      storeHeaderText(field, reinterpret_cast<const char*>(buffer + pos), utf8, tag == 12);
      pos = static_cast<size_t>(static_cast<const uint8_t*>(zero) - buffer) + 1;
    } else {
      return;
    }
  }
}

int CheckRequiredVersion(int32_t major, int32_t minor) {
  PlayerRecord* record = player.record;
  if (!record || !record->appletLoaded) return 1;
  if (record->versionMajor > major ||
      (record->versionMajor == major && record->versionMinor >= minor))
    return 1;
  char version[32];
  std::snprintf(version, sizeof version, "%d.%d", major, minor);
  SetErrorArgString(version);
  return 0;
}

int MakeLinkedFileName(const PlayerRunContext* context, const DeclaredResource* record,
                       char* buffer, size_t size) {
  const char* holder = record->sourceName[0] ? record->sourceName : context->appletPath;
  return MakeChunkName(record->fileName ? record->fileName : "", buffer, size,
                       static_cast<int64_t>(record->linkedOffset), record->linkedSize,
                       player.containerBase, holder);
}

void FreeIconTable() {
  for (IconTableEntry& e : player.icons) {
    FreeMemory(e.imageName);
    e.imageName = nullptr;
  }
}

ErrorCode ReadAppletHeader(VmState* L, PlayerRunContext* context, PlayerRecord* record) {
  for (size_t i = 0; i < ICON_TABLE_SIZE; i++) {
    player.icons[i].label = ICON_LABELS[i];
    player.icons[i].size = ICON_SIZES[i % 10];
  }
  char absolute[NATIVE_PATH_MAX];
  if (ResolveFullPath(context->appletPath, absolute, sizeof absolute))
    StrCopyBounded(context->appletPath, sizeof context->appletPath, absolute);
  ErrorCode openError = 0;
  StreamHandle* probe = OpenForReading(context->appletPath, ERR_FILEEXIST, &openError);
  if (!probe) {
    if (L) VmSetRegistryString(L, "script", SCRIPT_NAME_NONE);
    return openError;
  }
  CloseFileStream(probe);

  if (!player.noChdir && !player.previousDirectory) {
    char directory[PLAYER_PATH_SIZE];
    StrCopyBounded(directory, sizeof directory, context->appletPath);
    *FindFilePart(directory) = '\0';
    if (directory[0]) {
      ErrorCode error = 0;
      player.previousDirectory = ChangeDirectoryNative(directory, &error);
      if (!player.previousDirectory && error) {
        if (L) VmSetRegistryString(L, "script", SCRIPT_NAME_NONE);
        return error;
      }
    }
  }

  size_t pathLength = std::strlen(context->appletPath);
  bool qma = pathLength > 4 && CompareNoCase(context->appletPath + pathLength - 4, ".qma") == 0;
  PrintProgress(qma ? "Loading applet %s" : "Opening script %s", context->appletPath, 1);

  Reader in;
  ErrorCode error = 0;
  StreamHandle* programFile = nullptr;
  uint64_t compressedEnd = 0;
  in.stream = OpenForReading(context->appletPath, ERR_READFILE, &error);
  StrCopyBounded(player.containerPath, sizeof player.containerPath, context->appletPath);
  player.containerBase = player.appended ? player.appendedOffset : 0;
  if (in.stream) {
    int64_t size = GetStreamSize(in.stream);
    in.end = size < 0 ? 0 : static_cast<uint64_t>(size);
    in.base = player.containerBase;
    if (in.base > in.end || SeekFileStream(in.stream, static_cast<int64_t>(in.base), 1) < 0) {
      error = ERR_UNEXPECTEDEOF;
    } else {
      in.pos = in.base;
      uint8_t magic[4] = {0, 0, 0, 0};
      if (in.Remaining() >= 4) in.Bytes(magic, 4);
      if (!in.error && std::memcmp(magic, "QMZ", 4) == 0) {
        const char* temp = CreateTempFileEntry(&error);
        uint64_t packed = 0;
        if (temp) {
          error =
              InflateContainer(context->appletPath, in.base, temp, nullptr, 0, &packed, nullptr);
        }
        if (!error) {
          compressedEnd = in.base + packed;
          if (player.appended) {
            programFile = in.stream;
          } else {
            CloseFileStream(in.stream);
          }
          in = Reader();
          in.stream = OpenForReading(temp, ERR_READFILE, &error);
          if (in.stream) {
            int64_t inflated = GetStreamSize(in.stream);
            in.end = inflated < 0 ? 0 : static_cast<uint64_t>(inflated);
            StrCopyBounded(player.containerPath, sizeof player.containerPath, temp);
            player.containerBase = 0;
            if (in.Remaining() >= 4) in.Bytes(magic, 4);
          }
        }
      }
      if (!error) error = in.error;
      if (!error) {
        context->appletFlag = std::memcmp(magic, "QMA", 4) == 0;
        if (!context->appletFlag) {
          SetErrorArgString(GetDisplayFileName(context->appletPath));
          error = ERR_NOAPPLET;
        }
      }
    }
  }
  if (!error) {
    record->appletLoaded = 1;
    error = readSections(in, L, context, record);
  }
  if (!error) {
    if (programFile) {
      // The trailer of an applet inflated from the program file follows the
      // compressed stream there.
      Reader trailer;
      trailer.stream = programFile;
      trailer.end = in.end;
      int64_t size = GetStreamSize(programFile);
      trailer.end = size < 0 ? 0 : static_cast<uint64_t>(size);
      trailer.pos = compressedEnd;
      trailer.base = player.appendedOffset;
      if (SeekFileStream(programFile, static_cast<int64_t>(compressedEnd), 1) >= 0)
        error = readIconTrailer(trailer, context->appletPath);
    } else {
      error = readIconTrailer(in, player.containerPath);
    }
  }
  CloseFileStream(in.stream);
  CloseFileStream(programFile);
  if (L) VmSetRegistryString(L, "script", SCRIPT_NAME_NONE);
  if (error) {
    PrintFailed();
    return error;
  }
  PrintDone();
  if (!player.appended && !context->quiet) {
    int32_t count = 0;
    for (const DeclaredResource* r = record->resources; r; r = r->next) count++;
    player.progressStep = 80.0 / (count + 2);
    player.progressValue = player.progressStep + 20.0;
    if (NativeQuitRequested()) return ERR_USERABORT;
  }
  return ERR_NONE;
}
