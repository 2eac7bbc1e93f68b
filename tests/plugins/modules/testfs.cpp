// Test plug-in "testfs": an in-memory file and directory adapter. Files are
// named "testfs:<path>"; a path under "noseek/" opens as a stream that
// cannot seek (it says so through the open's flags tag), one under
// "unknown/" does not know its size. Linked data and memory buffers (when
// the adapter flags take them) are read from what the open's tags give.
// Directories are the prefixes of the stored paths. Tests fill and read the
// files and see the last open's name, mode and tags through the TestFs*
// functions. With QM_TESTFS_NOREWIND set when it loads, it has no RewindDir.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "plugins/qmplugin.h"

namespace {

constexpr char PREFIX[] = "testfs:";
constexpr size_t PREFIX_LENGTH = sizeof PREFIX - 1;
constexpr int MAX_TAGS = 8;

struct File {
  std::vector<uint8_t>* data;  // a stored file, or own for linked data
  std::vector<uint8_t> own;
  size_t position = 0;
  bool noSeek = false, unknownSize = false, writable = false;
  std::string name;
};

struct Dir {
  std::vector<std::pair<std::string, bool>> entries;  // name, is a directory
  size_t next = 0;
  std::string current;
};

struct State {
  PluginBase* base = nullptr;
  std::map<std::string, std::vector<uint8_t>> files;  // by path without the prefix
  std::set<void*> open;
  std::string lastName;
  int32_t lastMode = 0, lastTagCount = 0;
  QmTagItem lastTags[MAX_TAGS] = {};
  int32_t opens = 0, closes = 0, dirOpens = 0, dirCloses = 0;
};
State* state = nullptr;

bool ours(const char* name) { return name && std::strncmp(name, PREFIX, PREFIX_LENGTH) == 0; }

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

File* fileOf(void* handle) {
  return state && state->open.count(handle) ? static_cast<File*>(handle) : nullptr;
}

void fillStat(QmAdapterStat* out, const std::string& name, int64_t size, bool directory) {
  out->type = directory ? 1 : 0;
  out->size = size;
  out->flags = 0xF | (directory ? QM_ADAPTERSTAT_DIRECTORY : 0);
  out->name = nullptr;
  (void)name;
}

}  // namespace

extern "C" {

int InitPlugin(PluginBase* base, const PluginHostApi* api, const char*) {
  delete state;
  state = new State;
  state->base = base;
  base->capabilities = PLUGINCAPS_FILEADAPTER | PLUGINCAPS_DIRADAPTER | PLUGINCAPS_EXTENSION;
  base->version = 1;
  base->moduleName = "testfs";
  // Adapters enter their loader lists themselves.
  return api->system->addToLoaderList(base, PLUGINCAPS_FILEADAPTER) == 0 &&
         api->system->addToLoaderList(base, PLUGINCAPS_DIRADAPTER) == 0;
}

void ClosePlugin() {
  if (!state) return;
  for (void* h : state->open) delete static_cast<File*>(h);
  delete state;
  state = nullptr;
}

// Extension bit 0 of the directory adapter: RewindDir.
uint32_t GetExtensions(uint32_t capability, uintptr_t) {
  if (capability != PLUGINCAPS_DIRADAPTER) return 0;
  const char* off = std::getenv("QM_TESTFS_NOREWIND");
  return off && *off ? 0 : 1;
}

// ---- Test accessors ----

void TestFsPut(const char* path, const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  state->files[path] = std::vector<uint8_t>(bytes, bytes + size);
}
// The stored bytes of a path, or null.
const uint8_t* TestFsGet(const char* path, size_t* size) {
  auto it = state->files.find(path);
  if (it == state->files.end()) return nullptr;
  *size = it->second.size();
  return it->second.data();
}
void TestFsSetFileAdapterFlags(uint32_t flags) { state->base->fileAdapterFlags = flags; }
// The last FOpen's name (or null before any), mode and tags.
const char* TestFsLastOpen(int32_t* mode, QmTagItem* tags, int32_t* count) {
  *mode = state->lastMode;
  *count = state->lastTagCount;
  std::memcpy(tags, state->lastTags, sizeof state->lastTags);
  return state->opens ? state->lastName.c_str() : nullptr;
}
// Opens, closes, directory opens, directory closes.
void TestFsCounts(int32_t* out) {
  int32_t values[] = {state->opens, state->closes, state->dirOpens, state->dirCloses};
  std::memcpy(out, values, sizeof values);
}

// ---- File adapter ----

void* FOpen(const char* name, int32_t mode, const QmTagItem* tags) {
  state->lastName = name ? name : "";
  state->lastMode = mode;
  state->lastTagCount = 0;
  std::memset(state->lastTags, 0, sizeof state->lastTags);
  uint32_t* flags = nullptr;
  const char* path = nullptr;
  const void* data = nullptr;
  uint64_t offset = 0, size = 0;
  bool linked = false;
  for (const QmTagItem* t = tags; t && t->tag; t++) {
    if (state->lastTagCount < MAX_TAGS) state->lastTags[state->lastTagCount++] = *t;
    switch (t->tag) {
      case QM_FOPENTAG_FLAGS:
        flags = reinterpret_cast<uint32_t*>(t->data);
        break;
      case QM_FOPENTAG_PATH:
        path = reinterpret_cast<const char*>(t->data);
        linked = true;
        break;
      case QM_FOPENTAG_OFFSET:
        offset = t->data;
        break;
      case QM_FOPENTAG_SIZE:
        size = t->data;
        break;
      case QM_FOPENTAG_DATA:
        data = reinterpret_cast<const void*>(t->data);
        linked = true;
        break;
      default:
        break;
    }
  }
  state->opens++;
  auto* f = new File;
  f->name = name ? name : "";
  if (linked) {
    if (mode != QM_FOPEN_READ) {
      delete f;
      return nullptr;
    }
    f->own.resize(size);
    if (data) {
      std::memcpy(f->own.data(), data, size);
    } else {
      FILE* in = std::fopen(path, "rb");
      bool ok = in && std::fseek(in, static_cast<long>(offset), SEEK_SET) == 0 &&
                std::fread(f->own.data(), 1, size, in) == size;
      if (in) std::fclose(in);
      if (!ok) {
        delete f;
        return nullptr;
      }
    }
    f->data = &f->own;
  } else {
    if (!ours(name)) {
      delete f;
      return nullptr;
    }
    std::string key = name + PREFIX_LENGTH;
    auto it = state->files.find(key);
    if (mode == QM_FOPEN_WRITE) {
      state->files[key].clear();
      it = state->files.find(key);
    } else if (it == state->files.end()) {
      delete f;
      return nullptr;
    }
    f->data = &it->second;
    f->writable = mode != QM_FOPEN_READ;
    f->noSeek = startsWith(key, "noseek/");
    f->unknownSize = startsWith(key, "unknown/");
  }
  if (f->noSeek && flags) *flags |= QM_STREAM_NOSEEK;
  state->open.insert(f);
  return f;
}

int32_t FClose(void* handle) {
  File* f = fileOf(handle);
  if (!f) return 0;
  state->closes++;
  state->open.erase(f);
  delete f;
  return 1;
}

size_t FRead(void* handle, void* buffer, size_t length) {
  File* f = fileOf(handle);
  if (!f || f->position >= f->data->size()) return 0;
  size_t n = std::min(length, f->data->size() - f->position);
  std::memcpy(buffer, f->data->data() + f->position, n);
  f->position += n;
  return n;
}

int32_t FGetC(void* handle) {
  uint8_t b;
  return FRead(handle, &b, 1) == 1 ? b : -1;
}

size_t FWrite(void* handle, const void* buffer, size_t length) {
  File* f = fileOf(handle);
  if (!f || !f->writable) return 0;
  if (f->data->size() < f->position + length) f->data->resize(f->position + length);
  std::memcpy(f->data->data() + f->position, buffer, length);
  f->position += length;
  return length;
}

int32_t FPutC(void* handle, int32_t byte) {
  uint8_t b = static_cast<uint8_t>(byte);
  return FWrite(handle, &b, 1) == 1 ? 1 : 0;
}

int64_t FSeek(void* handle, int64_t offset, int32_t mode) {
  File* f = fileOf(handle);
  if (!f) return -1;
  int64_t before = static_cast<int64_t>(f->position);
  // A stream without seeks only reports its position and goes back to the
  // start.
  if (f->noSeek && offset != 0) return -1;
  if (f->noSeek && mode == 2) return -1;
  int64_t base = mode == 0 ? before : mode == 1 ? 0 : static_cast<int64_t>(f->data->size());
  int64_t target = base + offset;
  if (target < 0 || target > static_cast<int64_t>(f->data->size())) return -1;
  f->position = static_cast<size_t>(target);
  return before;
}

int32_t FFlush(void* handle) { return fileOf(handle) ? 1 : 0; }

int32_t FEof(void* handle) {
  File* f = fileOf(handle);
  return !f || f->position >= f->data->size();
}

int32_t FStat(void* handle, QmAdapterStat* out) {
  File* f = fileOf(handle);
  if (!f) return 0;
  fillStat(out, f->name, f->unknownSize ? -1 : static_cast<int64_t>(f->data->size()), false);
  return 1;
}

int32_t Stat(const char* name, QmAdapterStat* out) {
  if (!ours(name)) return 0;
  std::string key = name + PREFIX_LENGTH;
  auto it = state->files.find(key);
  if (it == state->files.end()) return 0;
  fillStat(out, key, static_cast<int64_t>(it->second.size()), false);
  out->comment = "in memory";
  return 1;
}

// ---- Directory adapter ----

void* OpenDir(const char* path, int32_t) {
  if (!ours(path)) return nullptr;
  std::string dir = path + PREFIX_LENGTH;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  auto* d = new Dir;
  std::set<std::string> seen;
  for (const auto& [key, bytes] : state->files) {
    if (!startsWith(key, dir.c_str())) continue;
    std::string rest = key.substr(dir.size());
    size_t slash = rest.find('/');
    std::string entry = rest.substr(0, slash);
    if (seen.insert(entry).second) d->entries.push_back({entry, slash != std::string::npos});
  }
  if (d->entries.empty()) {
    delete d;
    return nullptr;
  }
  state->dirOpens++;
  return d;
}

void CloseDir(void* handle) {
  state->dirCloses++;
  delete static_cast<Dir*>(handle);
}

int32_t NextDirEntry(void* handle, QmAdapterStat* out) {
  auto* d = static_cast<Dir*>(handle);
  if (d->next >= d->entries.size()) return 0;
  const auto& [name, directory] = d->entries[d->next++];
  d->current = name;
  fillStat(out, name, directory ? 0 : 1, directory);
  out->name = d->current.c_str();
  return 1;
}

int32_t RewindDir(void* handle) {
  static_cast<Dir*>(handle)->next = 0;
  return 1;
}

}  // extern "C"
