// Shared pieces of the display tests: a private Xvfb of a chosen screen
// size and extensions (no window manager), started on a free display number
// it reports itself and stopped by its process id; X client tools run
// against it; option tables built on the VM stack; window properties read
// as arrays of long.
#pragma once

#include <csignal>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engine/engine.h"
#include "tests/platform/xvfb.h"

// A private server of a chosen screen size and extensions; run() gives a
// client tool's standard output.
class DisplayTestServer : public TestXServer {
 public:
  explicit DisplayTestServer(const std::string& screen, const std::vector<std::string>& extra = {})
      : TestXServer(screen, false, extra) {}
  std::string run(const std::vector<std::string>& arguments) const {
    std::string text;
    TestXServer::run(arguments, nullptr, &text);
    return text;
  }
};

// An option table on the VM stack: names with numbers or strings.
struct OptionValue {
  OptionValue(double n) : number(n) {}
  OptionValue(int n) : number(n) {}
  OptionValue(unsigned n) : number(n) {}
  OptionValue(const char* t) : isText(true), text(t) {}
  double number = 0;
  bool isText = false;
  std::string text;
};
using Options = std::vector<std::pair<std::string, OptionValue>>;
inline void PushOptions(VmState* L, const Options& options) {
  VmNewTable(L);
  for (const auto& [name, value] : options) {
    VmPushString(L, name.c_str());
    if (value.isText)
      VmPushString(L, value.text.c_str());
    else
      VmPushNumber(L, value.number);
    VmSetTable(L, -3);
  }
}

// A format-32 property as the longs Xlib hands out; empty when absent.
inline std::vector<long> ReadLongProperty(Display* d, Window w, const char* name) {
  Atom property = XInternAtom(d, name, False);
  Atom type;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::vector<long> values;
  if (XGetWindowProperty(d, w, property, 0, 1 << 20, False, AnyPropertyType, &type, &format, &count,
                         &after, &data) == Success &&
      data && format == 32) {
    const long* longs = reinterpret_cast<const long*>(data);
    values.assign(longs, longs + count);
  }
  if (data) XFree(data);
  return values;
}
