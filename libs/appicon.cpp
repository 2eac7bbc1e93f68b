// The application icon set: the images that the program's windows show,
// built at start-up from the icon table's 20 slots (normal and selected
// images of 16 to 1024 pixels). A slot takes a picture file named by the
// applet or a program option, or the pixels that the applet's own icon
// file lends it. The set's normal images go into the window icon.
//
// Invariant: pixels lent to slots point into appletEntries, so every lent
// pointer is cleared before those entries are freed.
#include <cstdio>
#include <memory>

#include "engine/engine.h"
#include "libs/libs.h"
#include "libs/libs_private.h"
#include "platform/linux/platform.h"
#include "plugins/plugins.h"
#include "runtime/player.h"
#include "runtime/runtime.h"

namespace {

constexpr int32_t APPLET_ICON_KIND = 17;                // the declared resource of the icon file
constexpr size_t SELECTED_SLOTS = ICON_TABLE_SIZE / 2;  // slots 10 to 19
constexpr uint32_t IMAGE_STANDARD = 1, IMAGE_SELECTED = 2;

struct AppIconState {
  IconImage* set = nullptr;
  IconImageEntry* appletEntries = nullptr;  // alive from LoadAppletIcon to the set's build
};
AppIconState app;

void clearLentPixels() {
  for (IconTableEntry& slot : player.icons) slot.borrowedPixels = nullptr;
}

struct PictureReleaser {
  void operator()(PictureHandle* h) const { ReleasePictureHandle(h); }
};

// A copy of a square image; a picture without alpha comes out opaque.
uint32_t* copyImage(const uint32_t* pixels, int32_t size, bool alpha) {
  size_t count = static_cast<size_t>(size) * static_cast<size_t>(size);
  auto* out = static_cast<uint32_t*>(AllocMemory(count * 4, 0));
  if (!out) return nullptr;
  for (size_t i = 0; i < count; i++) out[i] = alpha ? pixels[i] : pixels[i] | 0xFF000000u;
  return out;
}

}  // namespace

ErrorCode LoadAppletIcon(PlayerRecord* record, PlayerRunContext* context) {
  const DeclaredResource* r = record->resources;
  while (r && r->kind != APPLET_ICON_KIND) r = r->next;
  if (!r) return ERR_NONE;
  char linkedName[3 * PLAYER_PATH_SIZE];
  const char* name = r->fileName ? r->fileName : "";
  if (r->linked) {
    if (!MakeLinkedFileName(context, r, linkedName, sizeof linkedName)) return ERR_MEM;
    name = linkedName;
  }
  if (!context->quiet) PrintProgress("Loading icon %s", name, 0);
  IconImageEntry* entries = nullptr;
  ErrorCode error = ParseIconImage(name, nullptr, &entries);
  if (error) return error;
  clearLentPixels();
  FreeIconEntries(app.appletEntries);
  app.appletEntries = entries;
  for (size_t i = 0; i < ICON_TABLE_SIZE; i++) {
    IconTableEntry& slot = player.icons[i];
    FreeMemory(slot.imageName);
    slot.imageName = nullptr;
    for (const IconImageEntry* e = entries; e; e = e->next) {
      if (e->width != slot.size || e->height != slot.size) continue;
      slot.borrowedPixels = i >= SELECTED_SLOTS ? e->selected : e->normal;
      if (e->standard) slot.defaultImage = 1;
      break;
    }
  }
  if (!context->quiet) PrintDone();
  return ERR_NONE;
}

ErrorCode LoadDefaultAppIcons(int verbose) {
  IconImage* list = nullptr;
  IconImage** tail = &list;
  auto fail = [&](ErrorCode code) {
    FreeIconImageList(list);
    return code;
  };
  for (size_t i = 0; i < ICON_TABLE_SIZE; i++) {
    const IconTableEntry& slot = player.icons[i];
    std::unique_ptr<PictureHandle, PictureReleaser> picture;
    const uint32_t* pixels = slot.borrowedPixels;
    bool alpha = true;
    if (slot.imageName) {
      if (verbose) PrintProgress("Loading icon %s", slot.imageName, 0);
      PictureRequest request{};
      PictureResult result;
      ErrorCode error = OpenPictureHandle(slot.imageName, nullptr, &request, &result);
      if (error) return fail(error);
      picture.reset(result.handle);
      if (result.width != slot.size || result.height != slot.size) {
        char size[32];
        std::snprintf(size, sizeof size, "%dx%d", slot.size, slot.size);
        SetErrorArgString(size);
        return fail(ERR_ICONDIMS);
      }
      pixels = GetPictureHandlePixels(picture.get());
      alpha = result.hasAlpha != 0;
    }
    if (!pixels || slot.size < 1) continue;
    auto* image = static_cast<IconImage*>(AllocMemory(sizeof(IconImage), 1));
    if (!image) return fail(ERR_MEM);
    *tail = image;
    tail = &image->next;
    image->pixels = copyImage(pixels, slot.size, alpha);
    if (!image->pixels) return fail(ERR_MEM);
    image->width = image->height = slot.size;
    image->flags =
        (slot.defaultImage ? IMAGE_STANDARD : 0) | (i >= SELECTED_SLOTS ? IMAGE_SELECTED : 0);
    if (verbose && slot.imageName) PrintDone();
  }
  clearLentPixels();
  FreeIconEntries(app.appletEntries);
  app.appletEntries = nullptr;
  FreeIconImageList(app.set);
  app.set = list;
  for (const IconImage* image = list; image; image = image->next)
    if (!(image->flags & IMAGE_SELECTED))
      SetWindowIconImage(image->width, image->height, image->pixels);
  return ERR_NONE;
}

const IconImage* GetAppIconSet() { return app.set; }

IconImage* GetAppIconImages() {
  IconImage* list = nullptr;
  IconImage** tail = &list;
  auto append = [&](const uint32_t* pixels, int32_t width, int32_t height, uint32_t flags) {
    auto* image = static_cast<IconImage*>(AllocMemory(sizeof(IconImage), 1));
    if (!image) return false;
    *tail = image;
    tail = &image->next;
    image->pixels = copyImage(pixels, width, true);
    image->width = width;
    image->height = height;
    image->flags = flags;
    return image->pixels != nullptr;
  };
  auto listed = [&](const IconImage* set) {
    for (const IconImage* i = list; i; i = i->next)
      if (i->width == set->width && i->height == set->height &&
          (i->flags & IMAGE_SELECTED) == (set->flags & IMAGE_SELECTED))
        return true;
    return false;
  };
  // The window icon already holds the set's normal images of its sizes.
  const uint32_t* block = GetWindowIconBlock();
  for (size_t at = 0; at < X11_ICON_VALUES;) {
    auto size = static_cast<int32_t>(block[at]);
    uint32_t flags = 0;
    for (const IconImage* set = app.set; set; set = set->next)
      if (set->width == size && set->height == size && !(set->flags & IMAGE_SELECTED))
        flags = set->flags & IMAGE_STANDARD;
    if (!append(block + at + 2, size, size, flags)) {
      FreeIconImageList(list);
      return nullptr;
    }
    at += 2 + static_cast<size_t>(size) * static_cast<size_t>(size);
  }
  for (const IconImage* set = app.set; set; set = set->next) {
    if (listed(set)) continue;
    if (!append(set->pixels, set->width, set->height, set->flags)) {
      FreeIconImageList(list);
      return nullptr;
    }
  }
  return list;
}

void InstallAppIconHooks() {
  const AppIconHooks hooks = {LoadAppletIcon, LoadDefaultAppIcons};
  SetAppIconHooks(&hooks);
}

void FreeAppIcons() {
  clearLentPixels();
  FreeIconEntries(app.appletEntries);
  FreeIconImageList(app.set);
  if (app.set) ResetWindowIconImages();
  app = AppIconState();
  SetAppIconHooks(nullptr);
}
