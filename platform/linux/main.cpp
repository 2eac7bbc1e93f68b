// The program's entry: records the argument vector for the desktop
// libraries and the program's resolved path, then runs the portable main,
// with the composition root installed; its result is the process's exit
// status unchanged. Standard output is line-buffered even when it is a pipe
// or a file, so whoever reads it sees each line as it is printed.
#include <cstdio>

#include "platform/linux/platform.h"
#include "platform/linux/files_private.h"
#include "platform/linux/requester_private.h"
#include "root/root.h"
#include "runtime/runtime.h"

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  SetRequesterArguments(&argc, &argv);
  RecordProgramPath(argc > 0 ? argv[0] : nullptr);
  InstallPlayerComposition();
  return PlayerMain(argc, argv);
}
