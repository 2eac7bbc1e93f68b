// The program's entry: the platform records the process's arguments, the
// composition root is installed, and the portable main runs; its result is
// the process's exit status unchanged. Standard output is line-buffered
// even when it is a pipe or a file, so whoever reads it sees each line as it
// is printed. The process ends right after the run, so the VM's objects are
// left for the end of the process to return rather than freed one by one.
#include <cstdio>

#include "engine/engine.h"
#include "platform/linux/platform.h"
#include "root/root.h"
#include "runtime/runtime.h"

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  RecordProcessArguments(&argc, &argv);
  InstallPlayerComposition();
  VmLeaveMemoryToProcessEnd();
  return PlayerMain(argc, argv);
}
