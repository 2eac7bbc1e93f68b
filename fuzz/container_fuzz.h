// Shared driver of the container fuzz targets (applet header, compressed
// applet, plug-in pack): a private scratch directory for the files the
// containers are read from and written to, made once per process and
// removed with what it holds when the process ends.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <dirent.h>
#include <unistd.h>

namespace containerfuzz {

inline void removeScratch();

// A plain array, not a string: the exit handler that removes the directory
// runs after the destructors of statics made later than it.
inline const char* ScratchDirectory() {
  static char path[] = "/tmp/qmfuzzXXXXXX";
  static bool made = [] {
    if (!mkdtemp(path)) std::abort();
    std::atexit(removeScratch);
    return true;
  }();
  (void)made;
  return path;
}

// Names in the scratch directory: the files a target leaves behind.
inline int CountScratchEntries() {
  DIR* d = opendir(ScratchDirectory());
  if (!d) std::abort();
  int n = 0;
  while (dirent* e = readdir(d))
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") n++;
  closedir(d);
  return n;
}

inline void removeScratch() {
  std::string command = std::string("rm -rf '") + ScratchDirectory() + "'";
  if (std::system(command.c_str()) != 0)
    std::fprintf(stderr, "cannot remove %s\n", command.c_str());
}

// Writes the input to a file of the scratch directory.
inline std::string WriteInput(const char* name, const uint8_t* data, size_t size) {
  std::string path = std::string(ScratchDirectory()) + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (size && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
  return path;
}

}  // namespace containerfuzz
