// The "icon" library: icons as ordered sets of entries (one per image size,
// a normal and optionally a selected image), built from picture files or
// brushes, saved to and loaded from icon files (one RGBA PNG whose first
// row carries a magic and whose entries each start with a header row),
// and handed to plug-ins as images at the size they ask for.
//
// Invariants of an icon's entry list, kept by every command: entries are
// ordered by non-decreasing width (an entry of a width already present goes
// after the others of that width); no (width, height) pair repeats; at
// most one entry is standard; a vector entry is the only entry and is
// standard; a selected image has its normal image's size, transparency and
// kind. A failing command leaves the icon as it was.
#include <cstring>
#include <memory>

#include "engine/engine.h"
#include "draw/draw.h"
#include "engine/optiontable.h"
#include "gfx/gfx.h"
#include "libs/libs.h"
#include "libs/libs_private.h"
#include "media/media.h"
#include "platform/linux/platform.h"
#include "plugins/plugins.h"
#include "runtime/runtime.h"

namespace {

constexpr int32_t ICON_MIN_VERSION = 8;  // CreateIcon and LoadIcon
constexpr size_t LIST_NAME_MAX = 255;    // "loader" and "adapter"
constexpr int32_t TYPE_BRUSH = 3;        // the object-type constants that
constexpr int32_t TYPE_FILE = 44;        // "type" takes
constexpr int32_t MAGIC_WIDTH = 3;       // pixels of the magic
// The magic pixels: "QUI", "LLM", "ERE" in red, green and blue, alpha 0.
constexpr uint32_t MAGIC[MAGIC_WIDTH] = {0x00515549, 0x004C4C4D, 0x00455245};
// Header flags of an entry in the file.
constexpr uint32_t FILE_SELECTED = 1, FILE_TRANSPARENT = 2, FILE_STANDARD = 4;
// Flags of IconImage and ScaledIconImage.
constexpr uint32_t IMAGE_STANDARD = 1, IMAGE_SELECTED = 2, IMAGE_OPAQUE = 4;
// Request flags of GetScaledIconImage.
constexpr uint32_t WANT_SELECTED = 1, WANT_NOSCALE = 2, WANT_EXACT = 4, WANT_SMOOTH = 8;
// The largest icon file picture SaveIcon assembles, in pixels.
constexpr uint64_t SAVE_MAX_PIXELS = uint64_t{1} << 28;

// The library's state; FreeAllIcons puts it back to its start.
struct IconState {
  ObjectHead* icons = nullptr;  // IconObject list, appended at the tail
};
IconState iconState;

void freeEntry(IconImageEntry* e) {
  if (!e) return;
  FreeMemory(e->normal);
  FreeMemory(e->selected);
  ReleasePictureHandle(e->normalVector);
  ReleasePictureHandle(e->selectedVector);
  FreeMemory(e);
}

void freeEntries(IconImageEntry* e) { FreeIconEntries(e); }

struct EntryDeleter {
  void operator()(IconImageEntry* e) const { freeEntry(e); }
};
using OwnedEntry = std::unique_ptr<IconImageEntry, EntryDeleter>;
struct EntryListDeleter {
  void operator()(IconImageEntry* e) const { freeEntries(e); }
};
using OwnedEntryList = std::unique_ptr<IconImageEntry, EntryListDeleter>;
struct PictureReleaser {
  void operator()(PictureHandle* h) const { ReleasePictureHandle(h); }
};
using OwnedPicture = std::unique_ptr<PictureHandle, PictureReleaser>;
struct MemoryDeleter {
  void operator()(void* p) const { FreeMemory(p); }
};

IconImageEntry* newEntry() {
  return static_cast<IconImageEntry*>(AllocMemory(sizeof(IconImageEntry), 1));
}

int32_t countEntries(const IconImageEntry* e) {
  int32_t n = 0;
  for (; e; e = e->next) n++;
  return n;
}

IconImageEntry* entryAt(IconImageEntry* e, int64_t position) {
  if (position < 1) return nullptr;
  for (int64_t i = 1; e; e = e->next, i++)
    if (i == position) return e;
  return nullptr;
}

bool hasVectorEntry(const IconImageEntry* e) {
  for (; e; e = e->next)
    if (e->normalVector) return true;
  return false;
}

bool hasSize(const IconImageEntry* e, int32_t width, int32_t height) {
  for (; e; e = e->next)
    if (e->width == width && e->height == height) return true;
  return false;
}

// Inserts before the first entry of greater width; the position from 1.
int32_t insertEntry(IconImageEntry** list, IconImageEntry* entry) {
  int32_t position = 1;
  IconImageEntry** link = list;
  while (*link && (*link)->width <= entry->width) {
    link = &(*link)->next;
    position++;
  }
  entry->next = *link;
  *link = entry;
  return position;
}

// width x height words of a picture whose rows are rowLength words apart,
// packed; a picture without alpha comes out opaque.
uint32_t* copyPictureToIconPixels(const uint32_t* pixels, int32_t width, int32_t height,
                                  int32_t rowLength, bool alpha) {
  size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
  auto* out = static_cast<uint32_t*>(AllocMemory(count * 4, 0));
  if (!out) return nullptr;
  for (int32_t y = 0; y < height; y++) {
    const uint32_t* row = pixels + static_cast<size_t>(y) * static_cast<size_t>(rowLength);
    uint32_t* to = out + static_cast<size_t>(y) * static_cast<size_t>(width);
    if (alpha) {
      std::memcpy(to, row, static_cast<size_t>(width) * 4);
    } else {
      for (int32_t x = 0; x < width; x++) to[x] = row[x] | 0xFF000000u;
    }
  }
  return out;
}

ErrorCode openPicture(const char* name, const char* loaders, PictureResult* result) {
  PictureRequest request{};
  return OpenPictureHandle(name, loaders && loaders[0] ? loaders : nullptr, &request, result);
}

// ---- Icon files ------------------------------------------------------------------------

// Reads an icon file into a new entry list. Every header is checked against
// the picture before a row of it is read: sizes of at least 1, the image
// (twice its width with a selected image) inside the picture's width, its
// rows inside the rows left, and no (width, height) pair twice; widths may
// repeat but never decrease.
}  // namespace

ErrorCode ParseIconImage(const char* name, const char* loaders, IconImageEntry** out) {
  *out = nullptr;
  PictureResult picture;
  ErrorCode error = openPicture(name, loaders, &picture);
  if (error) return error;
  OwnedPicture handle(picture.handle);
  const uint32_t* pixels = GetPictureHandlePixels(handle.get());
  int32_t width = picture.width, height = picture.height;
  auto refuse = [&]() {
    SetErrorArgString(name);
    return ERR_LOADICON;
  };
  if (!pixels || width < MAGIC_WIDTH || height < 1 || !picture.hasAlpha) return refuse();
  for (int i = 0; i < MAGIC_WIDTH; i++)
    if (pixels[i] != MAGIC[i]) return refuse();
  OwnedEntryList list;
  IconImageEntry** tail = nullptr;
  IconImageEntry* last = nullptr;
  int64_t rowsLeft = height - 1;
  int64_t row = 1;
  while (rowsLeft > 0) {
    const uint32_t* header = pixels + row * width;
    uint32_t w = header[0], h = header[1], flags = header[2];
    bool selected = (flags & FILE_SELECTED) != 0;
    uint64_t span = selected ? uint64_t{w} * 2 : w;
    if (w < 1 || h < 1 || span > static_cast<uint64_t>(width) ||
        uint64_t{h} + 1 > static_cast<uint64_t>(rowsLeft))
      return refuse();
    if (last && static_cast<int32_t>(w) < last->width) return refuse();
    if (hasSize(list.get(), static_cast<int32_t>(w), static_cast<int32_t>(h))) return refuse();
    OwnedEntry entry(newEntry());
    if (!entry) return ERR_MEM;
    entry->width = static_cast<int32_t>(w);
    entry->height = static_cast<int32_t>(h);
    entry->transparent = (flags & FILE_TRANSPARENT) ? 1 : 0;
    entry->standard = (flags & FILE_STANDARD) ? 1 : 0;
    const uint32_t* image = header + width;
    entry->normal = copyPictureToIconPixels(image, entry->width, entry->height, width, true);
    if (!entry->normal) return ERR_MEM;
    if (selected) {
      entry->selected =
          copyPictureToIconPixels(image + w, entry->width, entry->height, width, true);
      if (!entry->selected) return ERR_MEM;
    }
    last = entry.release();
    if (!tail) {
      list.reset(last);
    } else {
      *tail = last;
    }
    tail = &last->next;
    row += int64_t{h} + 1;
    rowsLeft -= int64_t{h} + 1;
  }
  *out = list.release();
  return ERR_NONE;
}

namespace {

ErrorCode saveIcon(const IconObject* icon, const char* name) {
  uint64_t width = MAGIC_WIDTH, height = 1;
  for (const IconImageEntry* e = icon->entries; e; e = e->next) {
    if (e->normalVector) return ERR_WRONGUSAGE;
    uint64_t span = e->selected ? uint64_t(e->width) * 2 : uint64_t(e->width);
    if (span > width) width = span;
    height += uint64_t(e->height) + 1;
  }
  if (width * height > SAVE_MAX_PIXELS) return ERR_MEM;
  std::unique_ptr<uint32_t, MemoryDeleter> buffer(
      static_cast<uint32_t*>(AllocMemory(width * height * 4, 1)));
  if (!buffer) return ERR_MEM;
  uint32_t* p = buffer.get();
  std::memcpy(p, MAGIC, sizeof MAGIC);
  uint32_t* row = p + width;
  for (const IconImageEntry* e = icon->entries; e; e = e->next) {
    row[0] = static_cast<uint32_t>(e->width);
    row[1] = static_cast<uint32_t>(e->height);
    row[2] = (e->selected ? FILE_SELECTED : 0) | (e->transparent ? FILE_TRANSPARENT : 0) |
             (e->standard ? FILE_STANDARD : 0);
    row += width;
    for (int32_t y = 0; y < e->height; y++, row += width) {
      size_t from = static_cast<size_t>(y) * static_cast<size_t>(e->width);
      std::memcpy(row, e->normal + from, static_cast<size_t>(e->width) * 4);
      if (e->selected)
        std::memcpy(row + e->width, e->selected + from, static_cast<size_t>(e->width) * 4);
    }
  }
  return SaveARGBAsPng(name, p, static_cast<int32_t>(width), static_cast<int32_t>(height), 1);
}

// ---- Entry tables --------------------------------------------------------------------

// One image of an entry from a picture file ("image" or "selimage"). A
// missing "selimage" is no error: *found stays false.
ErrorCode fileImage(VmState* L, int table, const char* field, const char* loaders,
                    IconImageEntry** list, IconImageEntry* entry, bool selected, bool* found) {
  *found = false;
  VmPushString(L, field);
  VmGetTable(L, table);
  if (VmType(L, -1) == VM_TYPE_NIL) {
    VmSetTop(L, -2);
    if (selected) return ERR_NONE;
    SetErrorArgString("Image");
    return ERR_MISSINGFIELD;
  }
  *found = true;
  const char* name = GetFileNameArg(L, VmGetTop(L));
  PrintProgress("Loading icon %s", name, 0);
  PictureResult picture;
  ErrorCode error = openPicture(name, loaders, &picture);
  VmSetTop(L, -2);
  if (error) return error;
  OwnedPicture handle(picture.handle);
  bool vector = picture.isVector != 0;
  if (vector && *list) return ERR_ICONVECTOR;
  if (!selected) {
    if (hasSize(*list, picture.width, picture.height)) return ERR_ICONSIZE;
    if (hasVectorEntry(*list)) return ERR_ICONVECTOR;
    entry->width = picture.width;
    entry->height = picture.height;
    entry->transparent = picture.hasAlpha ? 1 : 0;
  } else if (picture.width != entry->width || picture.height != entry->height ||
             (picture.hasAlpha ? 1 : 0) != entry->transparent ||
             vector != (entry->normalVector != nullptr)) {
    return ERR_ICONPARMS;
  }
  if (vector) {
    entry->standard = 1;
    (selected ? entry->selectedVector : entry->normalVector) = handle.release();
  } else {
    uint32_t* pixels = copyPictureToIconPixels(GetPictureHandlePixels(handle.get()), picture.width,
                                               picture.height, picture.width, picture.hasAlpha);
    if (!pixels) return ERR_MEM;
    (selected ? entry->selected : entry->normal) = pixels;
  }
  if (!IsQuietMode()) PrintDone();
  return ERR_NONE;
}

// One image of an entry from a brush ("image" or "selimage"): a vector
// brush lends its picture (one reference), a pixel brush is read with its
// mask or alpha channel as alpha, or, while it is still deferred (the
// preload), copied from its source picture. A missing "selimage" is no
// error: *found stays false.
ErrorCode brushImage(VmState* L, int table, const char* field, IconImageEntry** list,
                     IconImageEntry* entry, bool selected, bool* found) {
  *found = false;
  VmPushString(L, field);
  VmGetTable(L, table);
  if (VmType(L, -1) == VM_TYPE_NIL) {
    VmSetTop(L, -2);
    if (selected) return ERR_NONE;
    SetErrorArgString("Image");
    return ERR_MISSINGFIELD;
  }
  *found = true;
  ObjectId id = GetObjectIdArg(L, VmGetTop(L), nullptr);
  VmSetTop(L, -2);
  BrushObject* brush;
  ErrorCode error = GetBrushObject(L, id, &brush, BRUSH_HARDWARE);
  if (error) return error;
  bool vector = brush->isVector != 0;
  bool transparent = brush->bitmap ? brush->mask || brush->alpha : brush->pictureAlpha != 0;
  if (!selected) {
    if (vector && *list) return ERR_ICONVECTOR;
    if (!vector && hasSize(*list, brush->width, brush->height)) return ERR_ICONSIZE;
    if (!vector && hasVectorEntry(*list)) return ERR_ICONVECTOR;
    entry->width = brush->width;
    entry->height = brush->height;
    entry->transparent = transparent ? 1 : 0;
  } else if (brush->width != entry->width || brush->height != entry->height ||
             (transparent ? 1 : 0) != entry->transparent ||
             vector != (entry->normalVector != nullptr)) {
    return ERR_ICONPARMS;
  }
  if (vector) {
    if (!brush->picture) return ERR_WRONGUSAGE;
    RetainPictureHandle(brush->picture);
    entry->standard = 1;
    (selected ? entry->selectedVector : entry->normalVector) = brush->picture;
    return ERR_NONE;
  }
  uint32_t* pixels = nullptr;
  if (brush->bitmap) {
    pixels = BitmapToARGBWithAlpha(brush->bitmap, brush->mask, brush->alpha, brush->width,
                                   brush->height);
    if (pixels && !transparent) {
      size_t count = static_cast<size_t>(brush->width) * static_cast<size_t>(brush->height);
      for (size_t i = 0; i < count; i++) pixels[i] |= 0xFF000000u;
    }
  } else {
    const uint32_t* source = brush->picture ? GetPictureHandlePixels(brush->picture) : nullptr;
    if (!source) return ERR_WRONGUSAGE;
    source += static_cast<size_t>(brush->partY) * static_cast<size_t>(brush->rowLength) +
              static_cast<size_t>(brush->partX);
    pixels =
        copyPictureToIconPixels(source, brush->width, brush->height, brush->rowLength, transparent);
  }
  if (!pixels) return ERR_MEM;
  (selected ? entry->selected : entry->normal) = pixels;
  return ERR_NONE;
}

// Adds the entry that the table at index `table` describes to the list;
// on failure the list is unchanged.
ErrorCode parseIconImageTable(VmState* L, int table, IconImageEntry** list, int32_t* position) {
  int32_t type = TYPE_BRUSH, standard = 0;
  char loaders[LIST_NAME_MAX + 1] = "", adapter[LIST_NAME_MAX + 1] = "";
  const OptionField rows[] = {{"type", OPTION_INT, &type}, {"standard", OPTION_BOOL, &standard}};
  ErrorCode error = ReadOptionTable(L, table, rows);
  if (error) return error;
  if (type != TYPE_BRUSH && type != TYPE_FILE) return ERR_WRONGUSAGE;
  if (standard) {
    for (const IconImageEntry* e = *list; e; e = e->next)
      if (e->standard) return ERR_ICONSTANDARD;
  }
  OwnedEntry entry(newEntry());
  if (!entry) return ERR_MEM;
  entry->standard = standard ? 1 : 0;
  if (type == TYPE_BRUSH) {
    bool found;
    error = brushImage(L, table, "image", list, entry.get(), false, &found);
    if (!error) error = brushImage(L, table, "selimage", list, entry.get(), true, &found);
    if (error) return error;
  } else {
    // The file adapter list is read as the table allows; pictures open
    // through the loader chain, which file adapters do not take part in.
    const OptionField names[] = {{"loader", OPTION_STRING, loaders, sizeof loaders},
                                 {"adapter", OPTION_STRING, adapter, sizeof adapter}};
    error = ReadOptionTable(L, table, names);
    if (error) return error;
    bool found;
    error = fileImage(L, table, "image", loaders, list, entry.get(), false, &found);
    if (!error) error = fileImage(L, table, "selimage", loaders, list, entry.get(), true, &found);
    if (error) return error;
  }
  int32_t at = insertEntry(list, entry.release());
  if (position) *position = at;
  return ERR_NONE;
}

// ---- Icon list ----------------------------------------------------------------------

void unlinkIcon(IconObject* icon) {
  for (ObjectHead** p = &iconState.icons; *p; p = &(*p)->next) {
    if (*p == &icon->head) {
      *p = icon->head.next;
      return;
    }
  }
}

void freeIcon(VmState* L, IconObject* icon) {
  freeEntries(icon->entries);
  if (icon->head.data) FreeObjectDataList(L, &icon->head.data);
  FreeMemory(icon);
}

ErrorCode iconArg(VmState* L, int index, IconObject** icon) {
  return GetIconById(GetObjectIdArg(L, index, nullptr), icon);
}

// Frees the icon of a number first, as the creating commands do.
void freeIconNumbered(VmState* L, ObjectId id, int automatic) {
  IconObject* old;
  if (!automatic && GetIconById(id, &old) == ERR_NONE) {
    unlinkIcon(old);
    freeIcon(L, old);
  }
}

// Appends a new icon holding the entries (taken even on failure).
int addIcon(VmState* L, ObjectId id, int automatic, IconImageEntry* entries) {
  auto* icon = static_cast<IconObject*>(AllocMemory(sizeof(IconObject), 1));
  if (!icon) {
    freeEntries(entries);
    return ERR_MEM;
  }
  icon->head.type = OBJTYPE_ICON;
  icon->head.number = automatic ? 0 : id.number;
  icon->head.autoId = automatic ? icon : nullptr;
  icon->entries = entries;
  ObjectHead** tail = &iconState.icons;
  while (*tail) tail = &(*tail)->next;
  *tail = &icon->head;
  if (!automatic) return 0;
  VmPushLightUserdata(L, icon);
  return 1;
}

// ---- Commands ------------------------------------------------------------------------

int cmdCreateIcon(VmState* L) {
  CheckArgCount(L, 2, 2, ICON_MIN_VERSION, 0);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  VmCheckTable(L, 2);
  freeIconNumbered(L, id, automatic);
  OwnedEntryList list;
  IconImageEntry* entries = nullptr;
  int top = VmGetTop(L);
  for (int i = 0;; i++) {
    VmRawGetI(L, 2, i);
    int t = VmType(L, -1);
    if (t == VM_TYPE_NIL) break;
    ErrorCode error = t == VM_TYPE_TABLE ? ERR_NONE : ERR_TABLEORNIL;
    if (!error) error = parseIconImageTable(L, VmGetTop(L), &entries, nullptr);
    list.release();
    list.reset(entries);
    if (error) return error;
    VmSetTop(L, top);
  }
  if (!entries) return ERR_WRONGUSAGE;
  return addIcon(L, id, automatic, list.release());
}

int cmdLoadIcon(VmState* L) {
  CheckArgCount(L, 2, 3, ICON_MIN_VERSION, 0);
  int automatic = 0;
  ObjectId id = GetObjectIdArg(L, 1, &automatic);
  const char* name = GetFileNameArg(L, 2);
  char loaders[LIST_NAME_MAX + 1] = "", adapter[LIST_NAME_MAX + 1] = "";
  if (VmType(L, 3) != VM_TYPE_NONE) {
    VmCheckTable(L, 3);
    const OptionField rows[] = {{"loader", OPTION_STRING, loaders, sizeof loaders},
                                {"adapter", OPTION_STRING, adapter, sizeof adapter}};
    ErrorCode error = ReadOptionTable(L, 3, rows);
    if (error) return error;
  }
  freeIconNumbered(L, id, automatic);
  PrintProgress("Loading icon %s", name, 0);
  IconImageEntry* entries;
  ErrorCode error = ParseIconImage(name, loaders, &entries);
  if (error) return error;
  int results = addIcon(L, id, automatic, entries);
  if (!IsQuietMode() && results <= 1) PrintDone();
  return results;
}

int cmdFreeIcon(VmState* L) {
  CheckArgCount(L, 1, 1, 0, 0);
  IconObject* icon;
  if (ErrorCode e = iconArg(L, 1, &icon)) return e;
  unlinkIcon(icon);
  freeIcon(L, icon);
  return 0;
}

int cmdSaveIcon(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  IconObject* icon;
  if (ErrorCode e = iconArg(L, 1, &icon)) return e;
  return saveIcon(icon, VmCheckString(L, 2, nullptr));
}

int cmdAddIconImage(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  IconObject* icon;
  if (ErrorCode e = iconArg(L, 1, &icon)) return e;
  VmCheckTable(L, 2);
  int32_t position = 0;
  ErrorCode error = parseIconImageTable(L, 2, &icon->entries, &position);
  if (error) return error;
  VmPushNumber(L, position);
  return 1;
}

int cmdRemoveIconImage(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  IconObject* icon;
  if (ErrorCode e = iconArg(L, 1, &icon)) return e;
  int32_t position = VmCheckInteger(L, 2);
  IconImageEntry* entry = entryAt(icon->entries, position);
  if (!entry) return ERR_ICONENTRY;
  if (!icon->entries->next) return ERR_WRONGUSAGE;
  for (IconImageEntry** link = &icon->entries; *link; link = &(*link)->next) {
    if (*link == entry) {
      *link = entry->next;
      break;
    }
  }
  freeEntry(entry);
  return 0;
}

int cmdSetStandardIconImage(VmState* L) {
  CheckArgCount(L, 2, 2, 0, 0);
  IconObject* icon;
  if (ErrorCode e = iconArg(L, 1, &icon)) return e;
  int32_t position = VmCheckInteger(L, 2);
  IconImageEntry* chosen = nullptr;
  if (position != 0) {
    chosen = entryAt(icon->entries, position);
    if (!chosen) return ERR_ICONENTRY;
  }
  for (IconImageEntry* e = icon->entries; e; e = e->next) e->standard = e == chosen ? 1 : 0;
  return 0;
}

int readIconAttribute(VmState* L, int32_t attribute) {
  if (attribute == ATTRCOUNT) {
    VmPushNumber(L, CountObjectList(iconState.icons));
    return 1;
  }
  IconObject* icon;
  if (ErrorCode e = iconArg(L, 2, &icon)) return e;
  switch (attribute) {
    case ATTRNUMENTRIES:
      VmPushNumber(L, countEntries(icon->entries));
      return 1;
    case ATTRSTANDARD: {
      int32_t position = 0, i = 1;
      for (const IconImageEntry* e = icon->entries; e && !position; e = e->next, i++)
        if (e->standard) position = i;
      VmPushNumber(L, position);
      return 1;
    }
    case ATTRWIDTH:
    case ATTRHEIGHT:
    case ATTRNUMFRAMES: {
      const IconImageEntry* e = entryAt(icon->entries, VmOptInteger(L, 4, 0));
      if (!e) return ERR_ICONENTRY;
      bool two = e->selected || e->selectedVector;
      VmPushNumber(L, attribute == ATTRWIDTH    ? e->width
                      : attribute == ATTRHEIGHT ? e->height
                                                : (two ? 2 : 1));
      return 1;
    }
    default:
      return ERR_UNKNOWNATTR;
  }
}

const CommandTableEntry iconCommands[] = {
    {"CreateIcon", cmdCreateIcon},
    {"LoadIcon", cmdLoadIcon},
    {"FreeIcon", cmdFreeIcon},
    {"SaveIcon", cmdSaveIcon},
    {"AddIconImage", cmdAddIconImage},
    {"RemoveIconImage", cmdRemoveIconImage},
    {"SetStandardIconImage", cmdSetStandardIconImage},
    {nullptr, nullptr},
};

// ---- Images for plug-ins ---------------------------------------------------------------

// A copy of a vector picture rendered at the size, or of pixels.
uint32_t* imageCopy(const uint32_t* pixels, PictureHandle* vector, int32_t width, int32_t height,
                    double scale) {
  if (vector) {
    const double matrix[4] = {scale, 0, 0, scale};
    if (RenderPictureHandle(vector, matrix, width, height)) return nullptr;
    pixels = GetPictureHandlePixels(vector);
  }
  if (!pixels) return nullptr;
  return copyPictureToIconPixels(pixels, width, height, width, true);
}

// The brush library's look at an entry: a copy of its normal or selected
// image at the entry's size.
ErrorCode entryPixels(ObjectId id, int32_t position, int32_t second, IconEntryPixels* out) {
  *out = IconEntryPixels{};
  IconObject* icon = nullptr;
  if (ErrorCode e = GetIconById(id, &icon)) return e;
  const IconImageEntry* entry = entryAt(icon->entries, position);
  if (!entry) return ERR_ICONENTRY;
  const uint32_t* pixels = second ? entry->selected : entry->normal;
  PictureHandle* vector = second ? entry->selectedVector : entry->normalVector;
  if (!pixels && !vector) return ERR_WRONGUSAGE;
  out->pixels = imageCopy(pixels, vector, entry->width, entry->height, 1.0);
  if (!out->pixels) return ERR_MEM;
  out->width = entry->width;
  out->height = entry->height;
  out->transparent = entry->transparent;
  return ERR_NONE;
}

}  // namespace

void FreeIconEntries(IconImageEntry* e) {
  while (e) {
    IconImageEntry* next = e->next;
    freeEntry(e);
    e = next;
  }
}

ErrorCode GetIconById(ObjectId id, IconObject** out) {
  *out = nullptr;
  for (ObjectHead* h = iconState.icons; h; h = h->next) {
    if (id.autoId ? h->autoId == id.autoId : (h->autoId == nullptr && h->number == id.number)) {
      *out = reinterpret_cast<IconObject*>(h);
      return ERR_NONE;
    }
  }
  if (id.autoId) return ERR_FINDARRAY;
  SetErrorArgNumber(id.number);
  return ERR_FINDICON;
}

void FreeIconImageList(IconImage* list) {
  while (list) {
    IconImage* next = list->next;
    FreeMemory(list->pixels);
    FreeMemory(list);
    list = next;
  }
}

void FreeScaledIconImage(ScaledIconImage* image) {
  if (!image) return;
  FreeMemory(image->pixels);
  FreeMemory(image);
}

IconImage* CopyIconImages(ObjectId id) {
  IconObject* icon;
  if (GetIconById(id, &icon) || !icon->entries) return nullptr;
  IconImage* list = nullptr;
  IconImage** tail = &list;
  for (IconImageEntry* e = icon->entries; e; e = e->next) {
    for (int which = 0; which < 2; which++) {
      const uint32_t* pixels = which ? e->selected : e->normal;
      PictureHandle* vector = which ? e->selectedVector : e->normalVector;
      if (which && !pixels && !vector) continue;
      auto* image = static_cast<IconImage*>(AllocMemory(sizeof(IconImage), 1));
      uint32_t* copy = image ? imageCopy(pixels, vector, e->width, e->height, 1.0) : nullptr;
      if (!copy) {
        FreeMemory(image);
        FreeIconImageList(list);
        return nullptr;
      }
      image->pixels = copy;
      image->width = e->width;
      image->height = e->height;
      image->flags = (e->standard ? IMAGE_STANDARD : 0) | (which ? IMAGE_SELECTED : 0) |
                     (e->transparent ? 0 : IMAGE_OPAQUE);
      *tail = image;
      tail = &image->next;
    }
  }
  return list;
}

ScaledIconImage* GetScaledIconImage(ObjectId id, double scale, uint32_t flags) {
  IconObject* icon;
  if (GetIconById(id, &icon) || !icon->entries) return nullptr;
  if (!(scale > 0)) GetDpiScaleFactor(&scale);
  IconImageEntry* base = nullptr;
  for (IconImageEntry* e = icon->entries; e && !base; e = e->next)
    if (e->standard) base = e;
  bool vector = base && base->normalVector;
  if (!base) base = icon->entries;
  if (base->width < 1 || base->height < 1) return nullptr;
  int32_t wantWidth = VmTruncInt32(base->width * scale);
  int32_t wantHeight = VmTruncInt32(base->height * scale);
  if (wantWidth < 1 || wantHeight < 1) return nullptr;
  bool selected = (flags & WANT_SELECTED) != 0;
  IconImageEntry* chosen = base;
  uint32_t* pixels = nullptr;
  int32_t width = wantWidth, height = wantHeight;
  if (vector) {
    PictureHandle* picture = selected ? base->selectedVector : base->normalVector;
    if (!picture) return nullptr;
    pixels = imageCopy(nullptr, picture, wantWidth, wantHeight, scale);
  } else {
    int64_t best = -1;
    for (IconImageEntry* e = icon->entries; e; e = e->next) {
      int64_t d = int64_t{e->width} - wantWidth;
      if (d < 0) d = -d;
      if (best < 0 || d < best) {
        best = d;
        chosen = e;
      }
    }
    const uint32_t* source = selected ? chosen->selected : chosen->normal;
    if (!source) return nullptr;
    bool same = chosen->width == wantWidth && chosen->height == wantHeight;
    if (!same && (flags & WANT_EXACT)) return nullptr;
    if (same || (flags & WANT_NOSCALE)) {
      width = chosen->width;
      height = chosen->height;
      pixels = copyPictureToIconPixels(source, width, height, width, true);
    } else {
      pixels = reinterpret_cast<uint32_t*>(ScalePixelBuffer(
          source, 0, 0, chosen->width, chosen->height, nullptr, 0, 0, wantWidth, wantHeight,
          chosen->width, wantWidth, PIXFMT_ARGB32, (flags & WANT_SMOOTH) ? 1 : 0));
    }
  }
  if (!pixels) return nullptr;
  auto* image = static_cast<ScaledIconImage*>(AllocMemory(sizeof(ScaledIconImage), 1));
  if (!image) {
    FreeMemory(pixels);
    return nullptr;
  }
  image->pixels = pixels;
  image->width = width;
  image->height = height;
  image->flags = (chosen->standard ? IMAGE_STANDARD : 0) | (selected ? IMAGE_SELECTED : 0) |
                 (chosen->transparent ? 0 : IMAGE_OPAQUE);
  return image;
}

ErrorCode OpenIconLibrary(VmState* L) {
  ErrorCode error = RegisterLibrary(iconCommands, "icon");
  if (error) return error;
  VmRegisterFunctions(L, nullptr, iconCommands, 0);
  error = RegisterAttributeReader(OBJTYPE_ICON, readIconAttribute);
  if (error) return error;
  error = RegisterObjectList(&iconState.icons);
  if (error) return error;
  InstallAppIconHooks();
  SetIconEntrySource(entryPixels);
  return ERR_NONE;
}

void FreeAllIcons(VmState* L) {
  SetIconEntrySource(nullptr);
  while (iconState.icons) {
    auto* icon = reinterpret_cast<IconObject*>(iconState.icons);
    iconState.icons = icon->head.next;
    freeIcon(L, icon);
  }
  iconState = IconState();
  FreeAppIcons();
}
