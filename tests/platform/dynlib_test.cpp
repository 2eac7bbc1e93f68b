// Run-time binding of the desktop libraries through the open and look-up
// seam: binding on first use, denied libraries, missing functions with and
// without warnings, the GTK trio rule and the XRandR flag.
#include <gtest/gtest.h>

#include <cstring>
#include <dlfcn.h>
#include <string>
#include <vector>

#include "platform/linux/dynlib.h"
#include "platform/linux/desktop_private.h"

namespace {

const char* deniedFile = nullptr;
const char* missingFunction = nullptr;
std::vector<std::string> opened;  // every file the binding asked for, in order

void* openUnlessDenied(const char* file, int flags) {
  opened.push_back(file);
  if (deniedFile && std::strcmp(file, deniedFile) == 0) return nullptr;
  return dlopen(file, flags);
}
void* lookUpUnlessMissing(void* handle, const char* name) {
  if (missingFunction && std::strcmp(name, missingFunction) == 0) return nullptr;
  return dlsym(handle, name);
}

class Binding : public ::testing::Test {
 protected:
  void SetUp() override {
    // Every library this test relies on is installed; a plain bind is silent.
    deniedFile = nullptr;
    missingFunction = nullptr;
    opened.clear();
    DesktopLibraryCalls calls = {openUnlessDenied, lookUpUnlessMissing};
    SetDesktopLibraryCalls(&calls);
  }
  void TearDown() override {
    UnbindDesktopLibraries();
    SetDesktopLibraryCalls(nullptr);
  }
  static std::string bind() {
    testing::internal::CaptureStdout();
    BindDesktopLibraries();
    return testing::internal::GetCapturedStdout();
  }
  // What a flag test prints (the first test of a library binds it).
  template <typename Test>
  static std::string printedBy(Test test) {
    testing::internal::CaptureStdout();
    test();
    return testing::internal::GetCapturedStdout();
  }
};

TEST_F(Binding, CompleteLibrariesBindSilently) {
  EXPECT_EQ(bind(), "");
  EXPECT_EQ(printedBy([] {
              EXPECT_TRUE(DesktopGtkAvailable());
              EXPECT_TRUE(DesktopXRandrAvailable());
              for (int id = 0; id < DESKTOP_LIBRARY_COUNT; id++)
                EXPECT_TRUE(DesktopLibraryOpen(static_cast<DesktopLibrary>(id))) << id;
            }),
            "");
  EXPECT_NE(Dl_gtk_dialog_run, nullptr);
  EXPECT_NE(Dl_snd_pcm_open, nullptr);
  UnbindDesktopLibraries();
  EXPECT_EQ(Dl_gtk_dialog_run, nullptr);  // unbinding empties the slots
  EXPECT_EQ(Dl_snd_pcm_open, nullptr);
  EXPECT_FALSE(DesktopLibraryOpen(DESKTOP_ALSA));  // and a flag test no longer binds
  EXPECT_EQ(Dl_snd_pcm_open, nullptr);
}

// Arming opens nothing; each library opens at the first test of its flag,
// once, and the GTK flag opens the three requester libraries in order.
TEST_F(Binding, EachLibraryOpensAtTheFirstTestOfItsFlag) {
  bind();
  EXPECT_TRUE(opened.empty());
  EXPECT_EQ(Dl_XScreenSaverSuspend, nullptr);
  EXPECT_TRUE(DesktopLibraryOpen(DESKTOP_XSS));
  EXPECT_TRUE(DesktopLibraryOpen(DESKTOP_XSS));
  EXPECT_NE(Dl_XScreenSaverSuspend, nullptr);
  EXPECT_EQ(Dl_gtk_init, nullptr);  // the others stay unbound
  EXPECT_EQ(opened, std::vector<std::string>{"libXss.so.1"});
  EXPECT_TRUE(DesktopLibraryOpen(DESKTOP_GLIB));
  EXPECT_TRUE(DesktopGtkAvailable());
  EXPECT_EQ(opened, (std::vector<std::string>{"libXss.so.1", "libgtk-x11-2.0.so.0",
                                              "libglib-2.0.so.0", "libgobject-2.0.so.0"}));
  EXPECT_NE(Dl_gtk_init, nullptr);
  EXPECT_NE(Dl_g_free, nullptr);
  EXPECT_NE(Dl_g_object_unref, nullptr);
  UnbindDesktopLibraries();
  bind();  // armed again: bound again on the next test
  EXPECT_TRUE(DesktopLibraryOpen(DESKTOP_XSS));
  EXPECT_EQ(opened.back(), "libXss.so.1");
  EXPECT_EQ(opened.size(), 5u);
}

TEST_F(Binding, DeniedLibraryLeavesItsSlotsEmptySilently) {
  deniedFile = "libXss.so.1";
  EXPECT_EQ(bind(), "");
  EXPECT_EQ(printedBy([] { EXPECT_FALSE(DesktopLibraryOpen(DESKTOP_XSS)); }), "");
  EXPECT_EQ(Dl_XScreenSaverQueryExtension, nullptr);
  EXPECT_EQ(Dl_XScreenSaverSuspend, nullptr);
  EXPECT_TRUE(DesktopLibraryOpen(DESKTOP_XFIXES));
}

TEST_F(Binding, MissingFunctionWarnsAndKeepsTheLibrary) {
  missingFunction = "XScreenSaverSuspend";
  EXPECT_EQ(bind(), "");
  EXPECT_EQ(printedBy([] { EXPECT_TRUE(DesktopLibraryOpen(DESKTOP_XFIXES)); }), "");
  // The warning comes when the library is first needed, and only then.
  EXPECT_EQ(printedBy([] { EXPECT_TRUE(DesktopLibraryOpen(DESKTOP_XSS)); }),
            "WARNING: Library function XScreenSaverSuspend not found in xscrnsaver_base!\n"
            "WARNING: Could not import all symbols -- Quillmere might crash!\n");
  EXPECT_EQ(printedBy([] { EXPECT_TRUE(DesktopLibraryOpen(DESKTOP_XSS)); }), "");
  EXPECT_EQ(Dl_XScreenSaverSuspend, nullptr);
  EXPECT_NE(Dl_XScreenSaverQueryVersion, nullptr);
}

TEST_F(Binding, SilentLookUpsPrintNothing) {
  struct Case {
    const char* function;
    bool xrandr;  // the XRandR flag afterwards
  };
  const Case cases[] = {{"gtk_dialog_get_content_area", true},
                        {"gtk_color_selection_dialog_get_color_selection", true},
                        {"snd_pcm_avail", true},
                        {"XRRGetScreenResourcesCurrent", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.function);
    missingFunction = c.function;
    EXPECT_EQ(bind(), "");
    EXPECT_EQ(printedBy([&] {
                EXPECT_EQ(DesktopXRandrAvailable() != 0, c.xrandr);
                EXPECT_TRUE(DesktopLibraryOpen(DESKTOP_XRANDR));
                EXPECT_TRUE(DesktopGtkAvailable());
                EXPECT_TRUE(DesktopLibraryOpen(DESKTOP_ALSA));
              }),
              "");
    UnbindDesktopLibraries();
  }
}

TEST_F(Binding, GtkNeedsGlibAndGobjectToo) {
  const char* const files[] = {"libgtk-x11-2.0.so.0", "libglib-2.0.so.0", "libgobject-2.0.so.0"};
  for (const char* file : files) {
    SCOPED_TRACE(file);
    deniedFile = file;
    EXPECT_EQ(bind(), "");
    EXPECT_EQ(printedBy([] { EXPECT_FALSE(DesktopGtkAvailable()); }), "");
    EXPECT_FALSE(DesktopLibraryOpen(DESKTOP_GTK));
    EXPECT_FALSE(DesktopLibraryOpen(DESKTOP_GLIB));
    EXPECT_FALSE(DesktopLibraryOpen(DESKTOP_GOBJECT));
    EXPECT_EQ(Dl_gtk_init, nullptr);
    EXPECT_EQ(Dl_g_free, nullptr);
    EXPECT_TRUE(DesktopLibraryOpen(DESKTOP_PANGO));  // the others are unaffected
    UnbindDesktopLibraries();
  }
}

}  // namespace
