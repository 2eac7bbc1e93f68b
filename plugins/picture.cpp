// Picture handles: every picture the system reads is opened through one
// handle that hides whether an image-loader plug-in or the system's own
// loaders decoded it; and the capability mapping of the active display
// adapter for adapter bitmaps.
//
// Invariant: a handle lives while its reference count is above 0; when the
// count reaches 0 the loader's image is released exactly once (by the
// loader that made it) and the buffers the handle owns are freed with it.
#include <cstring>

#include "platform/linux/platform.h"
#include "plugins/plugin_private.h"
#include "runtime/runtime.h"
#include "plugins/context_private.h"

namespace {

// The system's own loaders and scaler, installed by the host library;
// process-wide, since they hold no run's state.
InbuiltPictureLoaders inbuilt = {};

ErrorCode loadInbuiltPicture(const char* name, const char* loaders, void** image, uint32_t** pixels,
                             int32_t* width, int32_t* height, int32_t* hasAlpha,
                             int32_t* transparency) {
  if (inbuilt.load)
    return inbuilt.load(name, loaders, image, pixels, width, height, hasAlpha, transparency);
  SetErrorArgString(name);
  return ERR_LOADPICTURE2;
}
void freeInbuiltPicture(void* image) {
  if (inbuilt.free) inbuilt.free(image);
}

bool skipImageLoader(const PluginBase* base, const char* loaders) {
  if (base->disabled) return true;
  if ((base->imageLoaderFlags & 1) && !base->overrideWord) return true;
  if (!IsLoaderAllowed(loaders, base->moduleName, 1)) return true;
  if (base->mustBeNamed && !IsLoaderNamed(loaders, base->moduleName)) return true;
  return false;
}

int32_t wantedSize(int32_t wanted, int32_t actual) {
  if (wanted >= 0) return wanted;
  // A negative size is a percentage of the picture's, rounded.
  int64_t scaled = (static_cast<int64_t>(actual) * -wanted + 50) / 100;
  return scaled < 1 ? 1 : static_cast<int32_t>(scaled > INT32_MAX ? INT32_MAX : scaled);
}

}  // namespace

ErrorCode RenderPictureHandle(PictureHandle* handle, const double matrix[4], int32_t width,
                              int32_t height) {
  if (handle->renderer) {
    if (width < 1 || height < 1) return ERR_TFIMAGE;
    uint32_t* pixels = nullptr;
    if (ErrorCode e = handle->renderer(handle->rendererData, matrix, width, height, &pixels))
      return e;
    if (handle->ownsPixels) FreeMemory(handle->pixels);
    FreeMemory(handle->converted);
    handle->converted = nullptr;
    handle->pixels = pixels;
    handle->ownsPixels = 1;
    handle->width = width;
    handle->height = height;
    return ERR_NONE;
  }
  PluginBase* base = handle->loader;
  auto transform = reinterpret_cast<QmTransformImageFunc>(
      base ? PluginEntryOf(base, PE_TransformImage) : nullptr);
  auto get = reinterpret_cast<QmGetImageFunc>(base ? PluginEntryOf(base, PE_GetImage) : nullptr);
  if (!transform || !get || IsBridgedPlugin(base)) return ERR_TFIMAGE;
  if (width < 1 || height < 1) return ERR_TFIMAGE;
  double parameters[6] = {matrix[0],
                          matrix[1],
                          matrix[2],
                          matrix[3],
                          static_cast<double>(width),
                          static_cast<double>(height)};
  if (!transform(handle->image, parameters)) return ERR_TFIMAGE;
  QmImageRequest request{};
  request.width = width;
  request.height = height;
  uint32_t* pixels = get(handle->image, &request);
  if (!pixels) return ERR_TFIMAGE;
  handle->pixels = pixels;
  handle->width = width;
  handle->height = height;
  return ERR_NONE;
}

PictureHandle* NewPictureHandle(void* image, uintptr_t format, void (*close)(void*), uintptr_t word,
                                void* transform, int32_t width, int32_t height, int32_t bridge) {
  auto* handle = static_cast<PictureHandle*>(AllocMemory(sizeof(PictureHandle), 1));
  if (!handle) return nullptr;
  handle->image = image;
  handle->refCount = 1;
  handle->native = 1;
  handle->bridge = bridge;
  handle->nativeFormat = format;
  handle->nativeClose = close;
  handle->nativeWord = word;
  handle->nativeTransform = transform;
  handle->renderWidth = width;
  handle->renderHeight = height;
  return handle;
}

PictureHandle* NewRendererPictureHandle(PictureRenderer render, void (*release)(void* data),
                                        void* data, int32_t width, int32_t height) {
  auto* handle = static_cast<PictureHandle*>(AllocMemory(sizeof(PictureHandle), 1));
  if (!handle) return nullptr;
  handle->refCount = 1;
  handle->renderer = render;
  handle->rendererRelease = release;
  handle->rendererData = data;
  handle->width = width;
  handle->height = height;
  handle->sourceWidth = width;
  handle->sourceHeight = height;
  handle->isVector = 1;
  return handle;
}

PictureHandle* NewPixelPictureHandle(int32_t width, int32_t height) {
  if (width < 1 || height < 1) return nullptr;
  auto* handle = static_cast<PictureHandle*>(AllocMemory(sizeof(PictureHandle), 1));
  if (!handle) return nullptr;
  handle->pixels = static_cast<uint32_t*>(AllocMemoryArray(
      static_cast<size_t>(width) * static_cast<size_t>(height), sizeof(uint32_t), 0));
  if (!handle->pixels) {
    FreeMemory(handle);
    return nullptr;
  }
  handle->refCount = 1;
  handle->ownsPixels = 1;
  handle->width = width;
  handle->height = height;
  return handle;
}

PictureHandle* NewSizedPictureHandle(int32_t width, int32_t height) {
  if (width < 1 || height < 1) return nullptr;
  auto* handle = static_cast<PictureHandle*>(AllocMemory(sizeof(PictureHandle), 1));
  if (!handle) return nullptr;
  handle->refCount = 1;
  handle->width = width;
  handle->height = height;
  return handle;
}

void RetainPictureHandle(PictureHandle* handle) {
  if (handle) handle->refCount++;
}

void ReleasePictureHandle(PictureHandle* handle) {
  if (!handle || --handle->refCount > 0) return;
  if (handle->image) {
    if (!handle->loader && !handle->native) {
      freeInbuiltPicture(handle->image);
    } else if (!handle->nativeTransform) {
      if (handle->loader) {
        auto freeImage =
            reinterpret_cast<QmFreeImageFunc>(PluginEntryOf(handle->loader, PE_FreeImage));
        if (IsBridgedPlugin(handle->loader))
          NullAdapterHook();
        else if (freeImage)
          freeImage(handle->image);
      } else if (handle->nativeClose) {
        if (handle->bridge)
          NullAdapterHook();
        else
          handle->nativeClose(handle->image);
      }
    }
  }
  if (handle->rendererRelease) handle->rendererRelease(handle->rendererData);
  if (handle->ownsPixels) FreeMemory(handle->pixels);
  FreeMemory(handle->converted);
  FreeMemory(handle);
}

uint32_t* GetPictureHandlePixels(PictureHandle* handle) {
  return handle->converted ? handle->converted : handle->pixels;
}

void GetPictureHandleSize(PictureHandle* handle, int32_t* width, int32_t* height) {
  if (width) *width = handle->width;
  if (height) *height = handle->height;
}

void GetPictureHandleSourceSize(PictureHandle* handle, int32_t* width, int32_t* height) {
  if (width) *width = handle->sourceWidth > 0 ? handle->sourceWidth : handle->width;
  if (height) *height = handle->sourceHeight > 0 ? handle->sourceHeight : handle->height;
}

int PictureHandleOwnsPixels(PictureHandle* handle) { return handle->ownsPixels; }

ErrorCode OpenPictureHandle(const char* name, const char* loaders, const PictureRequest* request,
                            PictureResult* result) {
  std::memset(result, 0, sizeof *result);
  result->transparency = -1;
  auto* handle = static_cast<PictureHandle*>(AllocMemory(sizeof(PictureHandle), 1));
  if (!handle) return ERR_MEM;
  handle->refCount = 1;
  ErrorCode error = CollectLoaderPlugins(loaders, PLUGINCAPS_IMAGE);
  int32_t transparency = -1;
  bool decoded = false;
  for (LoaderNode* n = error ? nullptr : GetPluginListForType(PLUGINCAPS_IMAGE); n; n = n->next) {
    PluginBase* base = n->base;
    if (skipImageLoader(base, loaders) || IsBridgedPlugin(base)) continue;
    auto load = reinterpret_cast<QmLoadImageFunc>(PluginEntryOf(base, PE_LoadImage));
    auto get = reinterpret_cast<QmGetImageFunc>(PluginEntryOf(base, PE_GetImage));
    if (!load || !get) continue;
    QmImageRequest info{};
    info.width = request->width > 0 ? request->width : 0;
    info.height = request->height > 0 ? request->height : 0;
    info.smooth = request->smooth;
    info.index = request->index;
    if (request->wantMask) info.flags |= 2;
    void* image = load(name, &info);
    if (!image) continue;
    handle->loader = base;
    handle->image = image;
    handle->width = info.width;
    handle->height = info.height;
    handle->isVector = info.type == 1;
    if (handle->isVector) {
      handle->sourceWidth = info.width;
      handle->sourceHeight = info.height;
    }
    handle->hasAlpha = (info.flags & 2) != 0;
    transparency = info.transparency;
    handle->pixels = get(image, &info);
    result->depth = info.depth;
    result->loaderIndex = 2;
    result->loader = base;
    decoded = true;
    if (!handle->pixels || handle->width < 1 || handle->height < 1) {
      SetErrorArgString(name);
      error = ERR_LOADPICTURE2;
    }
    break;
  }
  if (!error && !decoded) {
    int32_t hasAlpha = 0;
    error = loadInbuiltPicture(name, loaders, &handle->image, &handle->pixels, &handle->width,
                               &handle->height, &hasAlpha, &transparency);
    handle->hasAlpha = hasAlpha;
    result->depth = 32;
    // The inbuilt loaders say -2 when a picture has no transparent pen but
    // an alpha channel serves instead.
    if (transparency == -2) handle->hasAlpha = 1;
  }
  int32_t width = error ? 0 : wantedSize(request->width, handle->width);
  int32_t height = error ? 0 : wantedSize(request->height, handle->height);
  if (!error && ((width && width != handle->width) || (height && height != handle->height))) {
    if (!width) width = handle->width;
    if (!height) height = handle->height;
    if (handle->isVector) {
      const double scale[4] = {static_cast<double>(width) / handle->width, 0, 0,
                               static_cast<double>(height) / handle->height};
      error = RenderPictureHandle(handle, scale, width, height);
    } else {
      if (inbuilt.scale) {
        handle->converted = inbuilt.scale(handle->pixels, handle->width, handle->height, width,
                                          height, request->smooth);
        if (!handle->converted) error = ERR_MEM;
      } else {
        SetErrorArgString(name);
        error = ERR_LOADPICTURE2;
      }
      handle->width = width;
      handle->height = height;
    }
  }
  if (!error && request->wantAlpha && !handle->hasAlpha) {
    SetErrorArgString(name);
    error = ERR_NOALPHA;
  }
  if (!error && request->wantMask && transparency == -1 && !handle->hasAlpha) {
    SetErrorArgString(name);
    error = ERR_NOTRANSPARENCY;
  }
  if (error) {
    ReleasePictureHandle(handle);
    return error;
  }
  result->handle = handle;
  result->width = handle->width;
  result->height = handle->height;
  result->hasAlpha = handle->hasAlpha;
  result->transparency = transparency;
  result->isVector = handle->isVector;
  return ERR_NONE;
}

namespace {

// The first admitted image loader plug-in whose IsImage takes the file.
ErrorCode identifyByPlugins(const char* name, const char* loaders, int32_t index,
                            QmImageRequest* info, int* found) {
  *found = 0;
  ErrorCode error = CollectLoaderPlugins(loaders, PLUGINCAPS_IMAGE);
  if (error) return error;
  for (LoaderNode* n = GetPluginListForType(PLUGINCAPS_IMAGE); n; n = n->next) {
    PluginBase* base = n->base;
    if (skipImageLoader(base, loaders) || IsBridgedPlugin(base)) continue;
    auto isImage = reinterpret_cast<QmIsImageFunc>(PluginEntryOf(base, PE_IsImage));
    *info = QmImageRequest{};
    info->index = index;
    info->transparency = -1;
    if (!isImage || !isImage(name, info)) continue;
    *found = 1;
    return ERR_NONE;
  }
  return ERR_NONE;
}

}  // namespace

ErrorCode IdentifyPluginPicture(const char* name, const char* loaders, PluginPictureInfo* info,
                                int* found) {
  QmImageRequest request{};
  ErrorCode error = identifyByPlugins(name, loaders, 0, &request, found);
  if (error || !*found) return error;
  info->width = request.width;
  info->height = request.height;
  info->depth = request.depth;
  info->hasAlpha = (request.flags & 2) != 0;
  info->isVector = request.type == 1;
  info->transparency = request.transparency;
  return ERR_NONE;
}

ErrorCode GetPictureInfo(const char* name, const char* loaders, int32_t index, int32_t* width,
                         int32_t* height, int32_t* depth, int32_t* hasAlpha, int32_t* isVector) {
  QmImageRequest info{};
  int found = 0;
  ErrorCode error = identifyByPlugins(name, loaders, index, &info, &found);
  if (error) return error;
  if (found) {
    if (width) *width = info.width;
    if (height) *height = info.height;
    if (depth) *depth = info.depth;
    if (isVector) *isVector = info.type == 1;
    if (hasAlpha) *hasAlpha = (info.flags & 2) != 0;
    return ERR_NONE;
  }
  int32_t w = 0, h = 0;
  if (!inbuilt.size) {
    SetErrorArgString(name);
    return ERR_LOADPICTURE2;
  }
  error = inbuilt.size(name, loaders, &w, &h);
  if (error) return error;
  if (width) *width = w;
  if (height) *height = h;
  if (depth) *depth = 32;
  if (hasAlpha) *hasAlpha = 0;  // the information request does not read it
  if (isVector) *isVector = 0;
  return ERR_NONE;
}

void SetInbuiltPictureLoaders(const InbuiltPictureLoaders* loaders) {
  inbuilt = loaders ? *loaders : InbuiltPictureLoaders{};
}

void SetActiveDisplayAdapter(PluginBase* base) {
  pluginContext.activeAdapter = base;
  if (!base) pluginContext.displayAdapter = DisplayAdapter{};
}
PluginBase* GetActiveDisplayAdapter() { return pluginContext.activeAdapter; }

uint32_t ComputeAdapterBitmapFlags(uint32_t request) {
  if (!pluginContext.activeAdapter) return 0;
  static const struct {
    uint32_t request;
    int word;  // 0: adapterFlags, 1: adapterFlags2
    uint32_t needs;
  } MAP[] = {{0x4, 0, 0x1},    {0x10, 0, 0x2},   {0x40, 0, 0x4}, {0x80, 0, 0x8},
             {0x200, 0, 0x10}, {0x400, 0, 0x20}, {0x8, 1, 0x10}, {0x20, 1, 0x2}};
  uint32_t granted = 0;
  for (const auto& m : MAP) {
    uint32_t flags = m.word ? pluginContext.activeAdapter->adapterFlags2
                            : pluginContext.activeAdapter->adapterFlags;
    if ((request & m.request) && (flags & m.needs)) granted |= m.request;
  }
  return granted;
}
