// The requester front end and the GTK requester thread. Invariants: only the
// GTK thread calls GTK, after its own initialisation; one request exists at
// a time, its inputs written by the caller before the request type is set
// and its outputs read back after the GTK thread has set the type to 0. A
// termination request closes the open dialog as a cancel, so the caller
// (a script's requester, or the error report of the shut-down) goes on.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include <unistd.h>

#include "platform/linux/dynlib.h"
#include "platform/linux/platform.h"
#include "platform/linux/requester_private.h"
#include "platform/linux/x11_private.h"
#include "platform/linux/system_private.h"
#include "platform/linux/files_private.h"
#include "platform/linux/thread_private.h"
#include "platform/linux/eventhooks_private.h"
#include "platform/linux/desktop_private.h"

namespace {

constexpr useconds_t REQUEST_POLL_US = 20000;  // the caller's event poll period
constexpr guint CANCEL_CHECK_MS = 20;          // how often an open dialog looks for a cancel
constexpr gint RESPONSE_NONE = -1;
constexpr gint ICON_SIZE_DIALOG = 6;
constexpr gint FILE_ACTION_OPEN = 0, FILE_ACTION_SAVE = 1, FILE_ACTION_SELECT_FOLDER = 2,
               FILE_ACTION_CREATE_FOLDER = 3;
constexpr gint RESPONSE_ACCEPT = -3, RESPONSE_OK = -5, RESPONSE_APPLY = -10;
constexpr gint POLICY_AUTOMATIC = 1;
constexpr GType G_TYPE_STRING_ID = 16 << 2;  // GLib's fundamental string type
constexpr int32_t TEXT_FILTER_ALL = 517;
constexpr int32_t TEXT_FILTER_PATTERN = 518;

enum RequestType : int32_t {
  REQUEST_NONE = 0,
  REQUEST_MESSAGE = 1,
  REQUEST_FILE = 2,
  REQUEST_PATH = 3,
  REQUEST_STRING = 4,
  REQUEST_LIST = 5,
  REQUEST_FONT = 6,
  REQUEST_COLOR = 7,
};

// The one request shared with the GTK thread. Texts are UTF-8 here.
struct RequesterRequest {
  std::atomic<int32_t> type{REQUEST_NONE};
  std::atomic<int32_t> cancel{0};  // set by the caller: close the dialog
  int32_t result;
  const char* title;
  const char* body;
  const char* buttons;
  int32_t buttonSet;
  int32_t icon;
  const char* text;
  int32_t maxLength;
  int32_t hidden;
  int32_t numbersOnly;
  const char* pattern;
  const char* allFilterName;  // built-in texts 517 and 518
  const char* patternFilterName;
  const char* folder;
  const char* file;
  int32_t mode;
  const char* choices;
  int32_t startIndex;
  const char* fontName;
  int32_t fontSize;
  int32_t colour;
  // Outputs: new blocks (FreeMemory), UTF-8.
  char* outFolder;
  char* outFiles;
  int32_t outCount;
  char* outString;
  int32_t outIndex;
  FontRequestResult* outFont;
  int32_t outColour;
} request;

// The desktop library's thread, started once for the process.
ThreadRecord* gtkThread = nullptr;
int gtkArgc = 0;
char** gtkArgvStorage = nullptr;
int* gtkArgcPointer = nullptr;
char*** gtkArgvPointer = nullptr;
bool notifyInitialised = false;

char* copyText(const char* text) {
  if (!text) return nullptr;
  size_t length = std::strlen(text);
  auto* copy = static_cast<char*>(AllocMemory(length + 1, 0));
  if (copy) std::memcpy(copy, text, length + 1);
  return copy;
}

// Texts cross into GTK as UTF-8 and come back in the program's text mode.
char* toUtf8(const char* text) {
  if (!text) return nullptr;
  return unicodeUtf8Mode ? copyText(text) : Latin1ToUtf8Dup(text);
}
char* fromUtf8(const char* text) {
  if (!text) return nullptr;
  return unicodeUtf8Mode ? copyText(text) : Utf8ToLatin1Dup(text);
}

// Copies of the caller's texts for one request, freed when it ends.
struct TextCopies {
  char* items[8] = {};
  int count = 0;
  bool failed = false;
  const char* add(const char* text) {
    if (!text) return nullptr;
    char* copy = toUtf8(text);
    if (!copy) failed = true;
    items[count++] = copy;
    return copy;
  }
  ~TextCopies() {
    for (int i = 0; i < count; i++) FreeMemory(items[i]);
  }
};

GtkWidget* contentArea(GtkWidget* dialog) {
  return Dl_gtk_dialog_get_content_area ? Dl_gtk_dialog_get_content_area(dialog) : nullptr;
}

void addButton(GtkWidget* dialog, const char* label, gint answer) {
  Dl_gtk_dialog_add_button(dialog, label, answer);
}

// A dialog with the request's title and a border, and its content box in
// *content; null, with nothing left behind, when GTK cannot make one.
GtkWidget* openDialog(GtkWidget** content) {
  GtkWidget* dialog = Dl_gtk_dialog_new();
  *content = dialog ? contentArea(dialog) : nullptr;
  if (!*content) {
    if (dialog) Dl_gtk_widget_destroy(dialog);
    return nullptr;
  }
  Dl_gtk_window_set_title(dialog, request.title ? request.title : "");
  Dl_gtk_container_set_border_width(dialog, 5);
  return dialog;
}

// Runs on the GTK thread while a dialog is open: a cancel asked for by the
// caller ends the dialog as closing its window does.
gboolean watchCancel(gpointer dialog) {
  if (request.cancel.load()) Dl_gtk_dialog_response(static_cast<GtkWidget*>(dialog), RESPONSE_NONE);
  return 1;
}

// Runs the dialog modally and returns its response; a cancel ends it.
gint runDialog(GtkWidget* dialog) {
  guint watch = Dl_g_timeout_add(CANCEL_CHECK_MS, watchCancel, dialog);
  gint response = Dl_gtk_dialog_run(dialog);
  if (watch) Dl_g_source_remove(watch);
  return response;
}

// Shows the finished dialog in front and waits for its answer.
gint runShown(GtkWidget* dialog) {
  Dl_gtk_widget_show_all(dialog);
  Dl_gtk_window_present(dialog);
  return runDialog(dialog);
}

int32_t runMessage() {
  GtkWidget* content;
  GtkWidget* dialog = openDialog(&content);
  if (!dialog) return -1;
  GtkWidget* row = Dl_gtk_hbox_new(0, 14);
  Dl_gtk_container_set_border_width(row, 5);
  static const char* const ICONS[] = {nullptr, "gtk-dialog-info", "gtk-dialog-error",
                                      "gtk-dialog-warning", "gtk-dialog-question"};
  if (request.icon >= 1 && request.icon <= 4) {
    GtkWidget* image = Dl_gtk_image_new_from_stock(ICONS[request.icon], ICON_SIZE_DIALOG);
    Dl_gtk_misc_set_alignment(image, 0.5f, 0.0f);
    Dl_gtk_box_pack_start(row, image, 0, 0, 0);
  }
  GtkWidget* label = Dl_gtk_label_new(request.body ? request.body : "");
  Dl_gtk_label_set_line_wrap(label, 1);
  Dl_gtk_box_pack_start(row, label, 1, 1, 0);
  Dl_gtk_box_pack_start(content, row, 1, 1, 0);
  Dl_gtk_box_set_spacing(content, 14);
  Dl_gtk_window_set_resizable(dialog, 0);
  Dl_gtk_window_set_modal(dialog, 1);
  switch (request.buttonSet) {
    case 0:
      addButton(dialog, "gtk-ok", 1);
      addButton(dialog, "gtk-cancel", 0);
      break;
    case 1:
      addButton(dialog, "gtk-yes", 1);
      addButton(dialog, "gtk-no", 0);
      break;
    case 2:
      addButton(dialog, "gtk-yes", 1);
      addButton(dialog, "gtk-no", 2);
      addButton(dialog, "gtk-cancel", 0);
      break;
    case 3:
      addButton(dialog, "gtk-ok", 0);
      break;
    default: {
      // One button per non-empty entry: 1, 2, ... from the left, the last 0.
      int count = 0;
      for (const char* p = request.buttons; p && *p;) {
        const char* bar = std::strchr(p, '|');
        size_t length = bar ? static_cast<size_t>(bar - p) : std::strlen(p);
        if (length > 0) count++;
        p = bar ? bar + 1 : p + length;
      }
      int position = 0;
      for (const char* p = request.buttons; p && *p;) {
        const char* bar = std::strchr(p, '|');
        size_t length = bar ? static_cast<size_t>(bar - p) : std::strlen(p);
        if (length > 0) {
          char* name = static_cast<char*>(AllocMemory(length + 1, 0));
          if (name) {
            std::memcpy(name, p, length);
            name[length] = '\0';
            position++;
            addButton(dialog, name, position == count ? 0 : position);
            FreeMemory(name);
          }
        }
        p = bar ? bar + 1 : p + length;
      }
      break;
    }
  }
  gint response = runShown(dialog);
  Dl_gtk_widget_destroy(dialog);
  // Closing the window, or a failed run, answers 0.
  return response < 0 ? 0 : response;
}

void addFilters(GtkWidget* chooser) {
  const char* pattern = request.pattern;
  if (!pattern || !*pattern || std::strcmp(pattern, "*") == 0 || std::strcmp(pattern, "#?") == 0)
    return;
  GtkFileFilter* all = Dl_gtk_file_filter_new();
  Dl_gtk_file_filter_set_name(all, request.allFilterName ? request.allFilterName : "");
  Dl_gtk_file_filter_add_pattern(all, "*");
  Dl_gtk_file_filter_add_pattern(all, "*.*");
  Dl_gtk_file_chooser_add_filter(chooser, all);
  GtkFileFilter* filter = Dl_gtk_file_filter_new();
  Dl_gtk_file_filter_set_name(filter, request.patternFilterName ? request.patternFilterName : "");
  for (const char* p = pattern; *p;) {
    const char* bar = std::strchr(p, '|');
    size_t length = bar ? static_cast<size_t>(bar - p) : std::strlen(p);
    const char* extension = p;
    if (length > 0 && *extension == '.') {
      extension++;
      length--;
    }
    if (length > 0 && length < 250) {
      char glob[256];
      std::snprintf(glob, sizeof glob, "*.%.*s", static_cast<int>(length), extension);
      Dl_gtk_file_filter_add_pattern(filter, glob);
    }
    p = bar ? bar + 1 : p + std::strlen(p);
  }
  Dl_gtk_file_chooser_add_filter(chooser, filter);
  Dl_gtk_file_chooser_set_filter(chooser, filter);
}

// Splits a chosen path into a new folder copy and a new file-name copy.
void splitPath(const char* path, char** folder, char** file) {
  const char* slash = std::strrchr(path, '/');
  size_t folderLength = slash ? static_cast<size_t>(slash - path) : 0;
  if (slash == path) folderLength = 1;  // the root keeps its slash
  *folder = static_cast<char*>(AllocMemory(folderLength + 1, 0));
  if (*folder) {
    std::memcpy(*folder, path, folderLength);
    (*folder)[folderLength] = '\0';
  }
  *file = copyText(slash ? slash + 1 : path);
}

int32_t runFile() {
  bool save = request.mode == 2;
  GtkWidget* chooser = Dl_gtk_file_chooser_dialog_new(
      request.title ? request.title : "", nullptr, save ? FILE_ACTION_SAVE : FILE_ACTION_OPEN,
      "gtk-cancel", 0, save ? "gtk-save" : "gtk-open", RESPONSE_ACCEPT,
      static_cast<char*>(nullptr));
  if (!chooser) return 0;
  if (save) Dl_gtk_file_chooser_set_do_overwrite_confirmation(chooser, 1);
  if (request.mode == 1) Dl_gtk_file_chooser_set_select_multiple(chooser, 1);
  addFilters(chooser);
  if (request.folder && *request.folder)
    Dl_gtk_file_chooser_set_current_folder(chooser, request.folder);
  if (request.file && *request.file) {
    char path[4096];
    std::snprintf(path, sizeof path, "%s/%s", request.folder ? request.folder : ".", request.file);
    Dl_gtk_file_chooser_set_filename(chooser, path);
  }
  int32_t chosen = 0;
  if (runDialog(chooser) == RESPONSE_ACCEPT) {
    DlGSList* names = Dl_gtk_file_chooser_get_filenames(chooser);
    size_t total = 0;
    int32_t count = 0;
    for (DlGSList* n = names; n; n = n->next) {
      const char* name = static_cast<const char*>(n->data);
      const char* slash = std::strrchr(name, '/');
      total += std::strlen(slash ? slash + 1 : name) + 1;
      count++;
    }
    if (count > 0) {
      char* ignored = nullptr;
      splitPath(static_cast<const char*>(names->data), &request.outFolder, &ignored);
      FreeMemory(ignored);
      request.outFiles = static_cast<char*>(AllocMemory(total + 1, 1));
      if (request.outFiles) {
        char* outName = request.outFiles;
        for (DlGSList* n = names; n; n = n->next) {
          const char* name = static_cast<const char*>(n->data);
          const char* slash = std::strrchr(name, '/');
          const char* part = slash ? slash + 1 : name;
          size_t length = std::strlen(part);
          std::memcpy(outName, part, length + 1);
          outName += length + 1;
        }
        request.outCount = count;
        chosen = request.outFolder ? 1 : 0;
      }
    }
    for (DlGSList* n = names; n; n = n->next) Dl_g_free(n->data);
    if (names) Dl_g_slist_free(names);
  }
  Dl_gtk_widget_destroy(chooser);
  return chosen;
}

int32_t runPath() {
  GtkWidget* chooser = Dl_gtk_file_chooser_dialog_new(
      request.title ? request.title : "", nullptr,
      request.mode == 2 ? FILE_ACTION_CREATE_FOLDER : FILE_ACTION_SELECT_FOLDER, "gtk-cancel", 0,
      "gtk-open", RESPONSE_ACCEPT, static_cast<char*>(nullptr));
  if (!chooser) return 0;
  if (request.folder && *request.folder)
    Dl_gtk_file_chooser_set_current_folder(chooser, request.folder);
  int32_t chosen = 0;
  if (runDialog(chooser) == RESPONSE_ACCEPT) {
    gchar* name = Dl_gtk_file_chooser_get_filename(chooser);
    if (name) {
      request.outString = copyText(name);
      chosen = request.outString ? 1 : 0;
      Dl_g_free(name);
    }
  }
  Dl_gtk_widget_destroy(chooser);
  return chosen;
}

// Keeps only the digits, '-' and '.' of typed text in a numbers-only entry.
void numbersOnlyInsert(GtkWidget* entry, const gchar* text, gint length, gint* position, gpointer) {
  if (length < 0) length = static_cast<gint>(std::strlen(text));
  char* kept = static_cast<char*>(AllocMemory(static_cast<size_t>(length) + 1, 0));
  if (!kept) return;
  gint count = 0;
  for (gint i = 0; i < length; i++)
    if ((text[i] >= '0' && text[i] <= '9') || text[i] == '-' || text[i] == '.')
      kept[count++] = text[i];
  kept[count] = '\0';
  if (count != length) {
    auto handler = reinterpret_cast<gpointer>(numbersOnlyInsert);
    constexpr gint MATCH_FUNC = 1 << 3;
    Dl_g_signal_handlers_block_matched(entry, MATCH_FUNC, 0, 0, nullptr, handler, nullptr);
    Dl_gtk_editable_insert_text(entry, kept, count, position);
    Dl_g_signal_handlers_unblock_matched(entry, MATCH_FUNC, 0, 0, nullptr, handler, nullptr);
    Dl_g_signal_stop_emission_by_name(entry, "insert_text");
  }
  FreeMemory(kept);
}

int32_t runString() {
  GtkWidget* content;
  GtkWidget* dialog = openDialog(&content);
  if (!dialog) return -1;
  GtkWidget* label = Dl_gtk_label_new(request.body ? request.body : "");
  Dl_gtk_box_pack_start(content, label, 0, 0, 5);
  GtkWidget* entry = Dl_gtk_entry_new();
  if (request.text) Dl_gtk_entry_set_text(entry, request.text);
  if (request.maxLength > 0) Dl_gtk_entry_set_max_length(entry, request.maxLength);
  if (request.hidden) Dl_gtk_entry_set_visibility(entry, 0);
  if (request.numbersOnly)
    Dl_g_signal_connect_data(entry, "insert_text", reinterpret_cast<void (*)()>(numbersOnlyInsert),
                             nullptr, nullptr, 0);
  Dl_gtk_box_pack_start(content, entry, 0, 0, 5);
  addButton(dialog, "gtk-ok", 1);
  addButton(dialog, "gtk-cancel", 0);
  Dl_gtk_dialog_set_default_response(dialog, 1);
  Dl_gtk_window_set_modal(dialog, 1);
  int32_t answer = runShown(dialog) == 1 ? 1 : 0;
  if (answer) request.outString = copyText(Dl_gtk_entry_get_text(entry));
  Dl_gtk_widget_destroy(dialog);
  return answer;
}

int32_t runList() {
  GtkWidget* content;
  GtkWidget* dialog = openDialog(&content);
  if (!dialog) return -1;
  Dl_gtk_box_pack_start(content, Dl_gtk_label_new(request.body ? request.body : ""), 0, 0, 5);
  GType columnTypes[1] = {G_TYPE_STRING_ID};
  GtkListStore* store = Dl_gtk_list_store_newv(1, columnTypes);
  for (const char* p = request.choices; p && *p; p += std::strlen(p) + 1) {
    DlGtkTreeIter iter;
    Dl_gtk_list_store_insert(store, &iter, -1);
    gchar* escaped = Dl_g_markup_escape_text(p, -1);
    Dl_gtk_list_store_set(store, &iter, 0, escaped, -1);
    Dl_g_free(escaped);
  }
  GtkWidget* view = Dl_gtk_tree_view_new();
  Dl_gtk_tree_view_set_model(view, reinterpret_cast<GtkTreeModel*>(store));
  Dl_g_object_unref(store);
  GtkTreeViewColumn* column = Dl_gtk_tree_view_column_new_with_attributes(
      "unnamed", Dl_gtk_cell_renderer_text_new(), "markup", 0, static_cast<char*>(nullptr));
  Dl_gtk_tree_view_append_column(view, column);
  Dl_gtk_tree_view_set_headers_visible(view, 0);
  GtkWidget* scrolled = Dl_gtk_scrolled_window_new(nullptr, nullptr);
  Dl_gtk_scrolled_window_set_policy(scrolled, POLICY_AUTOMATIC, POLICY_AUTOMATIC);
  Dl_gtk_widget_set_size_request(scrolled, 250, 200);
  Dl_gtk_container_add(scrolled, view);
  Dl_gtk_box_pack_start(content, scrolled, 1, 1, 5);
  GtkTreeSelection* selection = Dl_gtk_tree_view_get_selection(view);
  if (request.startIndex >= 0) {
    GtkTreePath* path = Dl_gtk_tree_path_new_from_indices(request.startIndex, -1);
    Dl_gtk_tree_selection_select_path(selection, path);
    Dl_gtk_tree_view_scroll_to_cell(view, path, nullptr, 0, 0.0f, 0.0f);
    Dl_gtk_tree_path_free(path);
  } else {
    Dl_gtk_tree_selection_unselect_all(selection);
  }
  addButton(dialog, "gtk-ok", 1);
  addButton(dialog, "gtk-cancel", 0);
  Dl_gtk_window_set_modal(dialog, 1);
  request.outIndex = -1;
  if (runShown(dialog) == 1) {
    GtkTreeModel* model = nullptr;
    DlGtkTreeIter iter;
    if (Dl_gtk_tree_selection_get_selected(selection, &model, &iter)) {
      GtkTreePath* path = Dl_gtk_tree_model_get_path(model, &iter);
      gint* indices = path ? Dl_gtk_tree_path_get_indices(path) : nullptr;
      if (indices) request.outIndex = indices[0];
      if (path) Dl_gtk_tree_path_free(path);
    }
  }
  Dl_gtk_widget_destroy(dialog);
  return 1;
}

int32_t fontWeight(int pangoWeight) {
  switch (pangoWeight) {
    case 100:
      return 0;
    case 200:
      return 40;
    case 300:
      return 50;
    case 380:
      return 75;
    case 500:
      return 100;
    case 600:
      return 180;
    case 700:
      return 200;
    case 800:
      return 205;
    case 900:
      return 210;
    case 1000:
      return 215;
    default:
      return 80;
  }
}

int32_t runFont() {
  GtkWidget* dialog = Dl_gtk_font_selection_dialog_new(request.title ? request.title : "");
  if (!dialog) return 0;
  if (request.fontName && *request.fontName) {
    char preset[512];
    std::snprintf(preset, sizeof preset, "%s %d", request.fontName, request.fontSize);
    Dl_gtk_font_selection_dialog_set_font_name(dialog, preset);
  }
  int32_t answer = 0;
  gint response = runDialog(dialog);
  if (response == RESPONSE_OK || response == RESPONSE_APPLY) {
    gchar* name = Dl_gtk_font_selection_dialog_get_font_name(dialog);
    if (name && DesktopLibraryOpen(DESKTOP_PANGO)) {
      FontRequestResult* result = request.outFont;
      std::memset(result, 0, sizeof *result);
      PangoFontDescription* description = Dl_pango_font_description_from_string(name);
      if (description) {
        const char* family = Dl_pango_font_description_get_family(description);
        char* converted = fromUtf8(family ? family : "");
        StrCopyBounded(result->name, 256, converted ? converted : "");
        FreeMemory(converted);
        result->weight = fontWeight(Dl_pango_font_description_get_weight(description));
        int style = Dl_pango_font_description_get_style(description);
        result->slant = style == 1 ? 110 : style == 2 ? 100 : 0;
        Dl_pango_font_description_free(description);
      }
      const char* space = std::strrchr(name, ' ');
      result->size = space ? static_cast<int32_t>(std::strtol(space + 1, nullptr, 10)) : 0;
      result->bold = result->weight == 180 || result->weight == 200 || result->weight == 205;
      result->italic = result->slant == 100 || result->slant == 110;
      answer = 1;
    }
    if (name) Dl_g_free(name);
  }
  Dl_gtk_widget_destroy(dialog);
  return answer;
}

int32_t runColour() {
  GtkWidget* dialog = Dl_gtk_color_selection_dialog_new(request.title ? request.title : "");
  if (!dialog) return 0;
  GtkWidget* selection = Dl_gtk_color_selection_dialog_get_color_selection
                             ? Dl_gtk_color_selection_dialog_get_color_selection(dialog)
                             : nullptr;
  if (!selection) {
    Dl_gtk_widget_destroy(dialog);
    return 0;
  }
  if (request.colour != -1) {
    DlGdkColor colour = {0, static_cast<uint16_t>(((request.colour >> 16) & 0xff) * 256),
                         static_cast<uint16_t>(((request.colour >> 8) & 0xff) * 256),
                         static_cast<uint16_t>((request.colour & 0xff) * 256)};
    Dl_gtk_color_selection_set_current_color(selection, &colour);
  }
  request.outColour = -1;
  if (runDialog(dialog) == RESPONSE_OK) {
    DlGdkColor colour = {0, 0, 0, 0};
    Dl_gtk_color_selection_get_current_color(selection, &colour);
    request.outColour = ((colour.red >> 8) << 16) | ((colour.green >> 8) << 8) | (colour.blue >> 8);
  }
  Dl_gtk_widget_destroy(dialog);
  return 1;
}

void* gtkThreadMain(void* argument) {
  ThreadRecord* thread = ThreadRecordFromArg(argument);
  Dl_gtk_disable_setlocale();
  Dl_gtk_init(gtkArgcPointer, gtkArgvPointer);
  Dl_g_main_loop_new(nullptr, 0);
  SignalThreadStarted(thread);
  while (!ThreadStopRequested(thread)) {
    Dl_g_main_context_iteration(nullptr, 0);
    int32_t type = request.type.load();
    if (type == REQUEST_NONE) {
      usleep(REQUEST_POLL_US);
      continue;
    }
    int32_t result = 0;
    switch (type) {
      case REQUEST_MESSAGE:
        result = runMessage();
        break;
      case REQUEST_FILE:
        result = runFile();
        break;
      case REQUEST_PATH:
        result = runPath();
        break;
      case REQUEST_STRING:
        result = runString();
        break;
      case REQUEST_LIST:
        result = runList();
        break;
      case REQUEST_FONT:
        result = runFont();
        break;
      case REQUEST_COLOR:
        result = runColour();
        break;
      default:
        break;
    }
    request.result = result;
    request.type.store(REQUEST_NONE);
  }
  WaitThreadRelease(thread);
  return nullptr;
}

bool startGtkThread() {
  if (!DesktopGtkAvailable()) return false;
  if (gtkThread) return true;
  // GTK ends the process when it cannot open its display, so the default
  // display is tried first (a connection to another server proves nothing).
  Display* test = XOpenDisplay(nullptr);
  if (!test) return false;
  XCloseDisplay(test);
  if (!gtkArgcPointer) {
    gtkArgcPointer = &gtkArgc;
    gtkArgvPointer = &gtkArgvStorage;
  }
  gtkThread = StartNamedThread("Quillmere requester thread", gtkThreadMain, nullptr, 0, 0, 0);
  return gtkThread != nullptr;
}

void resetOutputs() {
  request.outFolder = nullptr;
  request.outFiles = nullptr;
  request.outCount = 0;
  request.outString = nullptr;
  request.outIndex = -1;
  request.outColour = -1;
  request.result = 0;
}

// Hands one request to the GTK thread and keeps the events flowing until it
// is answered.
int32_t runGtkRequest(VmState* L, int32_t type) {
  int grabbed = 0;
  if (!DisplayAdapterActive()) {
    X11DisplayRecord* parent = FindRequesterParent();
    grabbed = parent && parent->inputGrabbed;
    if (grabbed) SetRequesterParentGrab(0);
  }
  request.cancel.store(0);
  request.type.store(type);
  while (request.type.load() != REQUEST_NONE) {
    // A termination request ends the run: the dialog is closed unanswered.
    if (NativeQuitRequested()) request.cancel.store(1);
    VmState* running = L ? L : GetRunningVmState();
    if (running) {
      ErrorCode error = ERR_NONE;
      RunEventPoll(running, 2, 0, &error);
    } else {
      for (X11ConnectionRecord* c = GetX11ConnectionList(); c; c = c->next) {
        while (!c->lost.load() && XPending(c->display) > 0) {
          XEvent event;
          XNextEvent(c->display, &event);
        }
      }
    }
    usleep(REQUEST_POLL_US);
  }
  if (grabbed) SetRequesterParentGrab(1);
  return request.result;
}

}  // namespace

void SetRequesterArguments(int* argc, char*** argv) {
  gtkArgcPointer = argc;
  gtkArgvPointer = argv;
}

int32_t RequesterButtonsFromType(const char** buttons) {
  const char* text = buttons ? *buttons : nullptr;
  int32_t code = 4;
  if (!text || strcasecmp(text, "OK") == 0)
    code = 3;
  else if (strcasecmp(text, "OK|Cancel") == 0)
    code = 0;
  else if (strcasecmp(text, "Yes|No") == 0)
    code = 1;
  else if (strcasecmp(text, "Yes|No|Cancel") == 0)
    code = 2;
  if (code != 4 && buttons) *buttons = nullptr;
  return code;
}

ErrorCode NativeSystemRequester(VmState* L, const char* title, const char* body,
                                const char* buttons, int32_t icon, int32_t* answer) {
  *answer = 0;
  if (startGtkThread()) {
    TextCopies texts;
    resetOutputs();
    const char* set = buttons;
    request.buttonSet = RequesterButtonsFromType(&set);
    request.title = texts.add(title);
    request.body = texts.add(body);
    request.buttons = texts.add(set);
    request.icon = icon;
    if (texts.failed) return ERR_MEM;
    int32_t result = runGtkRequest(L, REQUEST_MESSAGE);
    if (result >= 0) {
      *answer = result;
      return ERR_NONE;
    }
    // The dialog could not be made: the text still reaches the user.
    EndConsoleLine(stdout);
    std::printf("%s\n", body ? body : "");
    return ERR_NONE;
  }
  *answer = ConsoleMessageRequester(body, buttons);
  return ERR_NONE;
}

ErrorCode NativeFileRequester(VmState* L, const char* title, const char* pattern, int32_t mode,
                              const char* folder, const char* file, char** outFolder,
                              char** outFiles, int32_t* count, int32_t* chosen) {
  *outFolder = nullptr;
  *outFiles = nullptr;
  *count = 0;
  *chosen = 0;
  if (startGtkThread()) {
    TextCopies texts;
    resetOutputs();
    request.title = texts.add(title);
    request.pattern = texts.add(pattern);
    request.allFilterName = texts.add(GetPlatformBuiltinString(TEXT_FILTER_ALL));
    request.patternFilterName = texts.add(GetPlatformBuiltinString(TEXT_FILTER_PATTERN));
    request.folder = texts.add(folder);
    request.file = texts.add(file);
    request.mode = mode;
    if (texts.failed) return ERR_MEM;
    if (runGtkRequest(L, REQUEST_FILE) != 1) {
      FreeMemory(request.outFolder);
      FreeMemory(request.outFiles);
      return ERR_NONE;
    }
    // Names come back from UTF-8 one by one.
    char* folderCopy = fromUtf8(request.outFolder);
    size_t total = 0;
    for (int32_t i = 0; i < request.outCount; i++)
      total += std::strlen(request.outFiles + total) + 1;
    char* files = static_cast<char*>(AllocMemory(total + 1, 1));
    char* write = files;
    const char* read = request.outFiles;
    bool failed = !folderCopy || !files;
    for (int32_t i = 0; !failed && i < request.outCount; i++) {
      char* name = fromUtf8(read);
      if (!name) {
        failed = true;
        break;
      }
      size_t length = std::strlen(name);
      std::memcpy(write, name, length + 1);
      write += length + 1;
      read += std::strlen(read) + 1;
      FreeMemory(name);
    }
    int32_t names = request.outCount;
    FreeMemory(request.outFolder);
    FreeMemory(request.outFiles);
    if (failed) {
      FreeMemory(folderCopy);
      FreeMemory(files);
      return ERR_MEM;
    }
    *outFolder = folderCopy;
    *outFiles = files;
    *count = names;
    *chosen = 1;
    return ERR_NONE;
  }
  char* path = ConsolePathPrompt(title, 0, mode == 2);
  if (!path) return ERR_NONE;
  char* folderPart = nullptr;
  char* filePart = nullptr;
  splitPath(path, &folderPart, &filePart);
  FreeMemory(path);
  if (!folderPart || !filePart) {
    FreeMemory(folderPart);
    FreeMemory(filePart);
    return ERR_MEM;
  }
  *outFolder = folderPart;
  *outFiles = filePart;
  *count = 1;
  *chosen = 1;
  return ERR_NONE;
}

ErrorCode NativePathRequester(VmState* L, const char* title, int32_t mode, const char* folder,
                              char** out) {
  *out = nullptr;
  if (startGtkThread()) {
    TextCopies texts;
    resetOutputs();
    request.title = texts.add(title);
    request.folder = texts.add(folder);
    request.mode = mode;
    if (texts.failed) return ERR_MEM;
    if (runGtkRequest(L, REQUEST_PATH) == 1) {
      *out = fromUtf8(request.outString);
      FreeMemory(request.outString);
      if (!*out) return ERR_MEM;
    }
    return ERR_NONE;
  }
  *out = ConsolePathPrompt(title, 1, mode == 2);
  return ERR_NONE;
}

ErrorCode NativeStringRequester(VmState* L, const char* title, const char* prompt, const char* text,
                                int32_t type, int32_t maxLength, int32_t hidden, char** out) {
  *out = nullptr;
  if (startGtkThread()) {
    TextCopies texts;
    resetOutputs();
    request.title = texts.add(title);
    request.body = texts.add(prompt);
    request.text = texts.add(text);
    request.maxLength = maxLength;
    request.hidden = hidden;
    request.numbersOnly = type == 3;
    if (texts.failed) return ERR_MEM;
    int32_t result = runGtkRequest(L, REQUEST_STRING);
    if (result >= 0) {
      *out = request.outString ? fromUtf8(request.outString) : copyText("");
      FreeMemory(request.outString);
      return *out ? ERR_NONE : ERR_MEM;
    }
  }
  *out = ConsoleStringRequester(prompt, type, maxLength);
  return *out ? ERR_NONE : ERR_MEM;
}

ErrorCode NativeListRequester(VmState* L, const char* title, const char* body, const char* choices,
                              int32_t start, int32_t* index) {
  *index = -1;
  if (startGtkThread()) {
    TextCopies texts;
    resetOutputs();
    request.title = texts.add(title);
    request.body = texts.add(body);
    // The choices are converted one by one into one block.
    size_t total = 1;
    for (const char* p = choices; p && *p; p += std::strlen(p) + 1)
      total += (unicodeUtf8Mode ? std::strlen(p) : Latin1ToUtf8Length(p)) + 1;
    char* block = static_cast<char*>(AllocMemory(total, 1));
    if (!block || texts.failed) {
      FreeMemory(block);
      return ERR_MEM;
    }
    char* write = block;
    for (const char* p = choices; p && *p; p += std::strlen(p) + 1) {
      if (unicodeUtf8Mode) {
        std::memcpy(write, p, std::strlen(p) + 1);
      } else {
        Latin1ToUtf8(p, write, total - static_cast<size_t>(write - block));
      }
      write += std::strlen(write) + 1;
    }
    request.choices = block;
    request.startIndex = start;
    int32_t result = runGtkRequest(L, REQUEST_LIST);
    FreeMemory(block);
    if (result >= 0) {
      *index = request.outIndex;
      return ERR_NONE;
    }
  }
  *index = ConsoleListRequester(body, choices);
  return ERR_NONE;
}

ErrorCode NativeFontRequester(VmState* L, const char* title, const char* name, int32_t size,
                              FontRequestResult* out) {
  if (startGtkThread()) {
    TextCopies texts;
    resetOutputs();
    request.title = texts.add(title);
    request.fontName = texts.add(name);
    request.fontSize = size;
    request.outFont = out;
    if (texts.failed) return ERR_MEM;
    out->name[0] = '\0';  // stays empty when the user cancels
    runGtkRequest(L, REQUEST_FONT);
    return ERR_NONE;
  }
  std::memset(out, 0, sizeof *out);
  ConsoleFontRequester(out);
  return ERR_NONE;
}

ErrorCode NativeColorRequester(VmState* L, const char* title, int32_t start, int32_t* colour) {
  *colour = -1;
  if (startGtkThread()) {
    TextCopies texts;
    resetOutputs();
    request.title = texts.add(title);
    request.colour = start;
    if (texts.failed) return ERR_MEM;
    if (runGtkRequest(L, REQUEST_COLOR) == 1) *colour = request.outColour;
    return ERR_NONE;
  }
  *colour = ConsoleColorRequester();
  return ERR_NONE;
}

ErrorCode ShowDesktopNotification(VmState*, const char* title, const char* text, int32_t kind,
                                  int32_t timeout) {
  if (!DesktopGtkAvailable() || !DesktopLibraryOpen(DESKTOP_NOTIFY)) return ERR_NONE;
  if (!notifyInitialised) {
    const char* name = QueryAppletTitle();
    if (!Dl_notify_init(name && *name ? name : "Quillmere")) return ERR_MEM;
    notifyInitialised = true;
  }
  TextCopies texts;
  const char* summary = texts.add(title ? title : "");
  const char* message = texts.add(text ? text : "");
  if (texts.failed) return ERR_MEM;
  const char* icon = nullptr;
  gint urgency = 0;  // low
  if (kind == 1) icon = "dialog-information";
  if (kind == 2) {
    icon = "dialog-error";
    urgency = 2;  // critical
  }
  if (kind == 3) {
    icon = "dialog-warning";
    urgency = 1;  // normal
  }
  NotifyNotification* notification = Dl_notify_notification_new(summary, message, icon);
  if (!notification) return ERR_MEM;
  Dl_notify_notification_set_timeout(notification, timeout == 0 ? -1 : timeout);
  Dl_notify_notification_set_urgency(notification, urgency);
  Dl_notify_notification_show(notification, nullptr);
  Dl_g_object_unref(notification);
  return ERR_NONE;
}

void StopRequesterThread() {
  if (gtkThread) {
    RequestThreadStop(gtkThread);
    JoinThread(gtkThread);
    gtkThread = nullptr;
  }
  if (notifyInitialised && Dl_notify_uninit) Dl_notify_uninit();
  notifyInitialised = false;
}
