// The player's options: the fixed table of 65 options, the command line
// joined into one line and split into tokens, the settings file next to the
// applet, and ApplyPlayerDefaults, which turns the collected values into the
// settings of the run context, the player record and the run's globals.
//
// Invariant: the command line is read first and the settings file after it
// into the same value array, so a settings key replaces the command line's
// value; a key that names no option is kept, in order of appearance, in the
// run context's unmatched-options list.
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/linux/platform.h"
#include "runtime/displayoptions.h"
#include "runtime/player.h"
#include "runtime/runtime_private.h"

namespace {

enum OptionSlot : uint8_t {
  SLOT_APPLET = 0,
  SLOT_WINDOW = 1,
  SLOT_BORDERLESS,
  SLOT_SIZEABLE,
  SLOT_FIXED,
  SLOT_NOHIDE,
  SLOT_DISABLEBLANKER,
  SLOT_ALLDISPLAYS,
  SLOT_OVERRIDEPLACEMENT,
  SLOT_MAXIMIZED,
  SLOT_WINWIDTH,
  SLOT_WINHEIGHT,
  SLOT_NATIVEUNITS,
  SLOT_NOLIVERESIZE,
  SLOT_ALWAYSONTOP,
  SLOT_FULLSCREEN,
  SLOT_FULLSCREENSCALE,
  SLOT_FAKEFULLSCREEN,
  SLOT_MODEREQUESTER,
  SLOT_ASKDISPLAYMODE,
  SLOT_SCRWIDTH,
  SLOT_SCRHEIGHT,
  SLOT_SCRDEPTH,
  SLOT_MONITOR,
  SLOT_HIDEPOINTER,
  SLOT_NOMODESWITCH,
  SLOT_BACKFILL,
  SLOT_STARTCOLOR,
  SLOT_ENDCOLOR,
  SLOT_BRUSHFILE,
  SLOT_BRUSH,
  SLOT_SCALEPICTURE,
  SLOT_PICXPOS,
  SLOT_PICYPOS,
  SLOT_PICTRANS,
  SLOT_HIDETITLEBAR,
  SLOT_AUTOSCALE,
  SLOT_LAYERSCALE,
  SLOT_SYSTEMSCALE,
  SLOT_SCALEFACTOR,
  SLOT_SCALEWIDTH,
  SLOT_SCALEHEIGHT,
  SLOT_SMOOTHSCALE,
  SLOT_KEEPPROPORTIONS,
  SLOT_FITSCALE,
  SLOT_NOSCALEENGINE,
  SLOT_NOSOUND,
  SLOT_FORCESOUND,
  SLOT_NUMCHANNELS,
  SLOT_AUDIODEVICE,
  SLOT_REQUIREPLUGINS,
  SLOT_REQUIRETAGS,
  SLOT_SKIPPLUGINS,
  SLOT_DEBUGDEVICE,
  SLOT_DEBUGOUTPUT,
  SLOT_FORCEFLUSH,
  SLOT_NODEBUG,
  SLOT_HELP,
  SLOT_QUIET,
  SLOT_ENCODING,
  SLOT_TEMPDIR,
  SLOT_NOCHDIR,
  SLOT_SETCONSTANTS,
  SLOT_XSERVER,
  SLOT_NOMOUSEHOOK,
  SLOT_SOFTTIMER,
};

struct OptionRow {
  const char* name;
  uint8_t slot;
  uint8_t takesArgument;
  const char* heading;  // on the first row of a section
  const char* help;
  const char* placeholder;
  const char* values;
};

// The whole vocabulary of the command line and the settings file. The
// headings, help texts and placeholders are kept for a usage text, which
// this player does not print (HELP changes nothing).
const OptionRow OPTION_TABLE[] = {
    {"WINDOW", SLOT_WINDOW, 0, "Arguments controlling the window style:",
     "open script in a window (default)", nullptr, nullptr},
    {"BORDERLESS", SLOT_BORDERLESS, 0, nullptr, "make window borderless", nullptr, nullptr},
    {"SIZEABLE", SLOT_SIZEABLE, 0, nullptr, "allow window resizing", nullptr, nullptr},
    {"FIXED", SLOT_FIXED, 0, nullptr, "forbid window dragging", nullptr, nullptr},
    {"NOHIDE", SLOT_NOHIDE, 0, nullptr, "forbid window minimizing", nullptr, nullptr},
    {"DISABLEBLANKER", SLOT_DISABLEBLANKER, 0, nullptr,
     "disable screen blanker while Quillmere is running", nullptr, nullptr},
    {"ALLDISPLAYS", SLOT_ALLDISPLAYS, 0, nullptr, "apply command line options to all displays",
     nullptr, nullptr},
    {"OVERRIDEPLACEMENT", SLOT_OVERRIDEPLACEMENT, 0, nullptr,
     "override restoration of previous display placements", nullptr, nullptr},
    {"MAXIMIZED", SLOT_MAXIMIZED, 0, nullptr, "open display in maximized state", nullptr, nullptr},
    {"WINWIDTH", SLOT_WINWIDTH, 1, nullptr, "set initial display width", "<width>", nullptr},
    {"WINHEIGHT", SLOT_WINHEIGHT, 1, nullptr, "set initial display height", "<height>", nullptr},
    {"NATIVEUNITS", SLOT_NATIVEUNITS, 0, nullptr, "use native screen units instead of pixels",
     nullptr, nullptr},
    {"NOLIVERESIZE", SLOT_NOLIVERESIZE, 0, nullptr, "do not use live resizing for display", nullptr,
     nullptr},
    {"ALWAYSONTOP", SLOT_ALWAYSONTOP, 0, nullptr, "open display on top of all other windows",
     nullptr, nullptr},
    {"FULLSCREEN", SLOT_FULLSCREEN, 0, "Arguments controlling full screen mode:",
     "open script in best available full screen mode", nullptr, nullptr},
    {"FULLSCREENSCALE", SLOT_FULLSCREENSCALE, 0, nullptr,
     "scale script to current monitor's full resolution", nullptr, nullptr},
    {"FAKEFULLSCREEN", SLOT_FAKEFULLSCREEN, 0, nullptr, "open script in fake full screen mode",
     nullptr, nullptr},
    {"MODEREQUESTER", SLOT_MODEREQUESTER, 0, nullptr, "prompt the user for full screen resolution",
     nullptr, nullptr},
    {"ASKDISPLAYMODE", SLOT_ASKDISPLAYMODE, 0, nullptr,
     "allow the user to select between full screen and window mode", nullptr, nullptr},
    {"SCRWIDTH", SLOT_SCRWIDTH, 1, nullptr, "set width for custom full screen mode", "<width>",
     nullptr},
    {"SCRHEIGHT", SLOT_SCRHEIGHT, 1, nullptr, "set height for custom full screen mode", "<height>",
     nullptr},
    {"SCRDEPTH", SLOT_SCRDEPTH, 1, nullptr, "set depth for custom full screen mode", "<depth>",
     nullptr},
    {"MONITOR", SLOT_MONITOR, 1, nullptr, "set monitor to use for display", "<num>", nullptr},
    {"HIDEPOINTER", SLOT_HIDEPOINTER, 0, nullptr,
     "automatically hide pointer when in full screen mode", nullptr, nullptr},
    {"NOMODESWITCH", SLOT_NOMODESWITCH, 0, nullptr,
     "forbid hotkey switching between windowed and full screen modes", nullptr, nullptr},
    {"BACKFILL", SLOT_BACKFILL, 1, "Arguments controlling backfill style:",
     "enable backfill decoration", "<mode>", "color|gradient|texture|picture"},
    {"STARTCOLOR", SLOT_STARTCOLOR, 1, nullptr, "set start color to use for backfilling", "<color>",
     "$RRGGBB"},
    {"ENDCOLOR", SLOT_ENDCOLOR, 1, nullptr, "set end color to use for backfilling", "<color>",
     "$RRGGBB"},
    {"BRUSHFILE", SLOT_BRUSHFILE, 1, nullptr, "set image to be used for backfilling",
     "<image file>", nullptr},
    {"BRUSH", SLOT_BRUSH, 1, nullptr, "alternative way of specifying backfill image", "<brush id>",
     nullptr},
    {"SCALEPICTURE", SLOT_SCALEPICTURE, 0, nullptr, "scale backfill image to fit display size",
     nullptr, nullptr},
    {"PICXPOS", SLOT_PICXPOS, 1, nullptr, "set x-position of backfill image (defaults to center)",
     "<pos>", nullptr},
    {"PICYPOS", SLOT_PICYPOS, 1, nullptr, "set y-position of backfill image (defaults to center)",
     "<pos>", nullptr},
    {"PICTRANS", SLOT_PICTRANS, 1, nullptr,
     "set transparent color for backfill image (defaults to no transparency)", "<color>",
     "$RRGGBB"},
    {"HIDETITLEBAR", SLOT_HIDETITLEBAR, 0, nullptr, "position backfill above desktop title bar",
     nullptr, nullptr},
    {"AUTOSCALE", SLOT_AUTOSCALE, 0,
     "Arguments controlling the scaling engine:", "enable auto scaling engine", nullptr, nullptr},
    {"LAYERSCALE", SLOT_LAYERSCALE, 0, nullptr, "enable layer scaling engine", nullptr, nullptr},
    {"SYSTEMSCALE", SLOT_SYSTEMSCALE, 0, nullptr, "automatically apply scaling on high dpi display",
     nullptr, nullptr},
    {"SCALEFACTOR", SLOT_SCALEFACTOR, 1, nullptr, "use constant scale factor", "<factor>", nullptr},
    {"SCALEWIDTH", SLOT_SCALEWIDTH, 1, nullptr, "set scaling engine output width", "<width>",
     nullptr},
    {"SCALEHEIGHT", SLOT_SCALEHEIGHT, 1, nullptr, "set scaling engine output height", "<height>",
     nullptr},
    {"SMOOTHSCALE", SLOT_SMOOTHSCALE, 0, nullptr, "enable antialiased interpolation (slower)",
     nullptr, nullptr},
    {"KEEPPROPORTIONS", SLOT_KEEPPROPORTIONS, 0, nullptr, "do not allow distorted scaling", nullptr,
     nullptr},
    {"FITSCALE", SLOT_FITSCALE, 0, nullptr,
     "choose scaling resolution automatically from current desktop size", nullptr, nullptr},
    {"NOSCALEENGINE", SLOT_NOSCALEENGINE, 0, nullptr,
     "do not use any scale engine for full screen scale", nullptr, nullptr},
    {"NOSOUND", SLOT_NOSOUND, 0, "Arguments controlling the audio driver:", "disable sound output",
     nullptr, nullptr},
    {"FORCESOUND", SLOT_FORCESOUND, 0, nullptr, "fail if sound hardware isn't available", nullptr,
     nullptr},
    {"NUMCHANNELS", SLOT_NUMCHANNELS, 1, nullptr, "set number of available audio channels",
     "<count>", nullptr},
    {"AUDIODEVICE", SLOT_AUDIODEVICE, 1, nullptr, "set ALSA audio device that Quillmere shall use",
     "<name>", nullptr},
    {"REQUIREPLUGINS", SLOT_REQUIREPLUGINS, 1,
     "Arguments controlling plugins:", "initialize the specified plugins", "<list>", nullptr},
    {"REQUIRETAGS", SLOT_REQUIRETAGS, 1, nullptr,
     "specify tags to pass to plugin require functions", "<list>", nullptr},
    {"SKIPPLUGINS", SLOT_SKIPPLUGINS, 1, nullptr, "skip loading specified plugins", "<list>",
     nullptr},
    {"DEBUGDEVICE", SLOT_DEBUGDEVICE, 1,
     "Arguments controlling debugger settings:", "set device for debug output", "<name>", nullptr},
    {"DEBUGOUTPUT", SLOT_DEBUGOUTPUT, 0, nullptr, "enable debug output", nullptr, nullptr},
    {"FORCEFLUSH", SLOT_FORCEFLUSH, 0, nullptr, "force buffer flushing after every write to stdout",
     nullptr, nullptr},
    {"NODEBUG", SLOT_NODEBUG, 0, nullptr, "do not call any debug functions", nullptr, nullptr},
    {"HELP", SLOT_HELP, 0, "Miscellaneous arguments:", "show this help information", nullptr,
     nullptr},
    {"QUIET", SLOT_QUIET, 0, nullptr, "suppress Quillmere's startup output", nullptr, nullptr},
    {"ENCODING", SLOT_ENCODING, 1, nullptr, "specify script's encoding (default: utf8)", "<name>",
     "utf8|iso8859_1"},
    {"TEMPDIR", SLOT_TEMPDIR, 1, nullptr, "store temporary files in this directory", "<path>",
     nullptr},
    {"NOCHDIR", SLOT_NOCHDIR, 0, nullptr, "do not change directory to script's directory", nullptr,
     nullptr},
    {"SETCONSTANTS", SLOT_SETCONSTANTS, 1, nullptr, "list of constants to define", "<list>",
     nullptr},
    {"XSERVER", SLOT_XSERVER, 1, nullptr, "set X server to connect to", "<name>", nullptr},
    {"NOMOUSEHOOK", SLOT_NOMOUSEHOOK, 0, nullptr,
     "do not install a mouse hook (for slow X servers)", nullptr, nullptr},
    {"SOFTTIMER", SLOT_SOFTTIMER, 0, nullptr, "use low resolution software timer", nullptr,
     nullptr},
    {nullptr, 0, 0, nullptr, nullptr, nullptr, nullptr},
};

const OptionRow* findOption(const char* name) {
  for (const OptionRow* row = OPTION_TABLE; row->name; row++)
    if (CompareNoCase(row->name, name) == 0) return row;
  return nullptr;
}

bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigitChar(char c) { return c >= '0' && c <= '9'; }
bool isNameChar(char c) { return isLetter(c) || isDigitChar(c) || c == '_'; }

char* dupText(const char* text) {
  if (!text) return nullptr;
  size_t n = std::strlen(text) + 1;
  auto* copy = static_cast<char*>(AllocMemory(n, 0));
  if (copy) std::memcpy(copy, text, n);
  return copy;
}

ErrorCode addUnmatched(PlayerRunContext* context, const std::string& name, const char* value,
                       UnmatchedOption** added) {
  auto* node = static_cast<UnmatchedOption*>(AllocMemory(sizeof(UnmatchedOption), 1));
  if (!node) return ERR_MEM;
  node->name = dupText(name.c_str());
  if (!node->name) {
    FreeMemory(node);
    return ERR_MEM;
  }
  if (value) {
    node->value = dupText(value);
    if (!node->value) {
      FreeMemory(node->name);
      FreeMemory(node);
      return ERR_MEM;
    }
  }
  UnmatchedOption** tail = &context->unmatched;
  while (*tail) tail = &(*tail)->next;
  *tail = node;
  if (added) *added = node;
  return ERR_NONE;
}

// A number rounded half away from zero to a whole one; *used receives the
// bytes the number took.
ErrorCode readRounded(const char* text, int32_t* out, size_t* used) {
  ErrorCode error = 0;
  double v = ParseNumberString(text, used, &error);
  if (error) return error;
  *out = VmTruncInt32(v < 0 ? v - 0.5 : v + 0.5);
  return ERR_NONE;
}

// A whole number with the "%" rule: a percentage is stored negated.
ErrorCode readSize(const char* text, int32_t* out) {
  size_t used = 0;
  int32_t n;
  if (ErrorCode error = readRounded(text, &n, &used)) return error;
  *out = text[used] == '%' ? -n : n;
  return ERR_NONE;
}

ErrorCode readInteger(const char* text, int32_t* out) {
  size_t used = 0;
  return readRounded(text, out, &used);
}

}  // namespace

void InitBackfillSpec(BackfillSpec* spec) {
  std::memset(spec, 0, sizeof *spec);
  spec->startColor = -1;
  spec->endColor = -1;
  spec->x = POSITION_UNSET;
  spec->y = POSITION_UNSET;
  spec->transparentColor = -1;
}

ErrorCode JoinArguments(int argc, char** argv, char** line) {
  auto* out = static_cast<char*>(AllocMemory(ARGUMENT_LINE_MAX + 1, 1));
  if (!out) return ERR_MEM;
  size_t pos = 0;
  auto put = [&](char c) {
    if (pos < ARGUMENT_LINE_MAX) out[pos++] = c;
  };
  for (int i = 1; i < argc; i++) {
    if (i > 1) put(' ');
    const char* a = argv[i] ? argv[i] : "";
    bool quote = a[0] != '-';
    if (quote) put('"');
    for (const char* p = a; *p; p++) put(*p);
    if (quote) put('"');
  }
  out[pos] = '\0';
  *line = out;
  return ERR_NONE;
}

ErrorCode ParseArgumentLine(const char* line, OptionValues* values, PlayerRunContext* context) {
  const OptionRow* pendingOption = nullptr;
  UnmatchedOption* pendingUnmatched = nullptr;
  const char* p = line;
  for (;;) {
    while (*p == ' ') p++;
    if (!*p) break;
    if (*p == '-') {
      if (pendingOption) return ERR_ARGS;
      pendingUnmatched = nullptr;
      p++;
      std::string name;
      while (isNameChar(*p)) name += *p++;
      if (*p) p++;  // the character that ended the name is dropped
      const OptionRow* row = findOption(name.c_str());
      if (row) {
        if (row->takesArgument)
          pendingOption = row;
        else
          values->slot[row->slot] = 1;
      } else {
        ErrorCode error = addUnmatched(context, name, nullptr, &pendingUnmatched);
        if (error) return error;
      }
      continue;
    }
    std::string value;
    if (*p == '"') {
      const char* end = std::strchr(p + 1, '"');
      if (!end) return ERR_ARGS;
      value.assign(p + 1, end);
      p = end + 1;
    } else {
      const char* end = std::strchr(p, ' ');
      if (!end) end = p + std::strlen(p);
      value.assign(p, end);
      p = end;
    }
    if (pendingOption) {
      values->SetText(pendingOption->slot, value);
      pendingOption = nullptr;
    } else if (pendingUnmatched) {
      pendingUnmatched->value = dupText(value.c_str());
      if (!pendingUnmatched->value) return ERR_MEM;
      pendingUnmatched = nullptr;
    } else if (!values->slot[SLOT_APPLET]) {
      values->SetText(SLOT_APPLET, value);
    } else {
      return ERR_ARGS;
    }
  }
  return pendingOption ? ERR_ARGS : ERR_NONE;
}

ErrorCode ParseSettingsText(const char* text, OptionValues* values, PlayerRunContext* context) {
  const char* p = text;
  for (;;) {
    while (*p == '\r' || *p == '\n' || *p == '\t' || *p == ' ') p++;
    if (!*p) return ERR_NONE;
    if (*p == '#' || *p == '[') {
      while (*p && *p != '\n' && *p != '\r') p++;
      continue;
    }
    if (!isLetter(*p)) return ERR_INISYNTAX;
    std::string key;
    while (isNameChar(*p)) {
      if (key.size() >= 127) return ERR_INISYNTAX;
      key += *p++;
    }
    while (*p == ' ' || *p == '\t') p++;
    if (*p != '=') return ERR_INISYNTAX;
    p++;
    while (*p == ' ' || *p == '\t') p++;
    std::string value;
    if (*p == '"') {
      const char* q = p + 1;
      while (*q && *q != '"' && *q != '\r' && *q != '\n') q++;
      if (*q != '"') return ERR_INISYNTAX;
      value.assign(p + 1, q);
      p = q + 1;
      while (*p && *p != '\n' && *p != '\r') {
        if (*p != ' ' && *p != '\t') return ERR_INISYNTAX;
        p++;
      }
    } else {
      const char* start = p;
      while (*p && *p != '\n' && *p != '\r') p++;
      const char* end = p;
      while (end > start && (end[-1] == ' ' || end[-1] == '\t')) end--;
      value.assign(start, end);
    }
    const OptionRow* row = findOption(key.c_str());
    if (!row) {
      ErrorCode error = addUnmatched(context, key, value.c_str(), nullptr);
      if (error) return error;
    } else if (row->takesArgument) {
      values->SetText(row->slot, value);
    } else {
      bool on = CompareNoCase(value.c_str(), "true") == 0 ||
                CompareNoCase(value.c_str(), "yes") == 0 || CompareNoCase(value.c_str(), "on") == 0;
      if (!on) {
        size_t used = 0;
        ErrorCode error = 0;
        double v = ParseNumberString(value.c_str(), &used, &error);
        on = !error && used == value.size() && v != 0;
      }
      values->slot[row->slot] = on ? 1 : 0;
    }
  }
}

StreamHandle* OpenForReading(const char* name, ErrorCode missingError, ErrorCode* error) {
  errno = 0;
  StreamHandle* stream = OpenFileStream(name, STREAM_READ, nullptr);
  if (stream) {
    *error = ERR_NONE;
  } else if (errno == ENOMEM) {
    *error = ERR_MEM;
  } else {
    SetErrorArgString(name);
    *error = missingError;
  }
  return stream;
}

ErrorCode InflateContainer(const char* source, uint64_t offset, const char* destination,
                           void* buffer, size_t bufferSize, uint64_t* packedSize,
                           uint64_t* written) {
  errno = 0;
  ErrorCode error = InflatePackedFile("QMZ", source, nullptr, offset, destination, buffer,
                                      bufferSize, packedSize, written);
  if ((error == ERR_READFILE || error == ERR_WRITEFILE) && errno == ENOMEM) error = ERR_MEM;
  return error;
}

ErrorCode ReadTextFileUtf8(const char* name, char** text, size_t* length) {
  ErrorCode openError = 0;
  StreamHandle* stream = OpenForReading(name, ERR_READFILE, &openError);
  if (!stream) return openError;
  uint8_t* data = nullptr;
  size_t size = 0;
  ErrorCode error = LoadFileToMemory(name, nullptr, stream, &data, &size, 0, 1);
  CloseFileStream(stream);
  if (error) return error;
  char* result = nullptr;
  if (size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) {
    std::memmove(data, data + 3, size - 3);
    size -= 3;
    data[size] = 0;
    result = reinterpret_cast<char*>(data);
  } else if (Utf8CheckBytes(reinterpret_cast<const char*>(data), size)) {
    result = reinterpret_cast<char*>(data);
  } else {
    result = Latin1ToUtf8Dup(reinterpret_cast<const char*>(data));
    FreeMemory(data);
    if (!result) return ERR_TEXTCONVERT;
    size = std::strlen(result);
  }
  *text = result;
  if (length) *length = size;
  return ERR_NONE;
}

char* SplitBarList(const char* text) {
  size_t n = std::strlen(text);
  auto* out = static_cast<char*>(AllocMemory(n + 2, 1));
  if (!out) return nullptr;
  for (size_t i = 0; i < n; i++) out[i] = text[i] == '|' ? '\0' : text[i];
  return out;
}

void MakeSettingsName(const char* appletPath, char* buffer, size_t size) {
  StrCopyBounded(buffer, size, appletPath);
  char* file = FindFilePart(buffer);
  if (*file == '/') file++;
  char* dot = std::strrchr(file, '.');
  if (dot) *dot = '\0';
  StrAppendBounded(buffer, size, ".ini");
}

void FreeUnmatchedOptions(PlayerRunContext* context) {
  for (UnmatchedOption* node = context->unmatched; node;) {
    UnmatchedOption* next = node->next;
    FreeMemory(node->name);
    FreeMemory(node->value);
    FreeMemory(node);
    node = next;
  }
  context->unmatched = nullptr;
}

void ApplyDebugDeviceOption(const OptionValues* values) {
  if (!values->slot[SLOT_DEBUGDEVICE] || player.debugDevice) return;
  if (OpenDebugDevice(values->Text(SLOT_DEBUGDEVICE)) == ERR_NONE) player.debugDevice = 1;
}

ErrorCode ApplyPlayerDefaults(const OptionValues* values, PlayerRunContext* context,
                              PlayerRecord* record) {
  const uintptr_t* v = values->slot;
  auto text = [&](OptionSlot s) { return values->Text(s); };
  ErrorCode error = 0;

  if (v[SLOT_ENCODING]) {
    if (CompareNoCase(text(SLOT_ENCODING), "iso8859_1") == 0)
      player.utf8Script = 0;
    else if (CompareNoCase(text(SLOT_ENCODING), "utf8") != 0)
      return ERR_BADENCODING;
  }

  static const struct {
    OptionSlot slot;
    uint32_t flag;
  } FLAG_SWITCHES[] = {
      {SLOT_BORDERLESS, DSF_BORDERLESS},
      {SLOT_SIZEABLE, DSF_SIZEABLE},
      {SLOT_FIXED, DSF_FIXED},
      {SLOT_NOMODESWITCH, DSF_NOMODESWITCH},
      {SLOT_HIDEPOINTER, DSF_HIDEPOINTER},
      {SLOT_NOHIDE, DSF_NOHIDE},
      {SLOT_SMOOTHSCALE, DSF_SMOOTHSCALE},
      {SLOT_KEEPPROPORTIONS, DSF_KEEPPROPORTIONS},
      {SLOT_FITSCALE, DSF_FITSCALE},
      {SLOT_NOLIVERESIZE, DSF_NOLIVERESIZE},
      {SLOT_ALWAYSONTOP, DSF_ALWAYSONTOP},
      {SLOT_DISABLEBLANKER, DSF_DISABLEBLANKER},
      {SLOT_MAXIMIZED, DSF_MAXIMIZED},
      {SLOT_NATIVEUNITS, DSF_NATIVEUNITS},
  };
  for (const auto& f : FLAG_SWITCHES)
    if (v[f.slot]) record->windowFlags |= f.flag;
  if (v[SLOT_HIDETITLEBAR]) record->hideTitleBar = 1;

  if (v[SLOT_WINWIDTH] && (error = readSize(text(SLOT_WINWIDTH), &record->winWidth))) return error;
  if (v[SLOT_WINHEIGHT] && (error = readSize(text(SLOT_WINHEIGHT), &record->winHeight)))
    return error;

  if (v[SLOT_AUTOSCALE] && v[SLOT_LAYERSCALE]) return ERR_CONSOLEARG;
  if (v[SLOT_AUTOSCALE]) record->windowFlags |= DSF_AUTOSCALE;
  if (v[SLOT_LAYERSCALE]) record->windowFlags |= DSF_LAYERSCALE;
  if (v[SLOT_NOSCALEENGINE]) record->windowFlags |= DSF_NOSCALEENGINE;

  if (v[SLOT_ALLDISPLAYS]) context->allDisplays = 1;

  if (v[SLOT_AUTOSCALE] || v[SLOT_LAYERSCALE]) {
    if (v[SLOT_SCALEFACTOR]) {
      size_t used = 0;
      record->scaleFactor = ParseNumberString(text(SLOT_SCALEFACTOR), &used, &error);
      if (error) return error;
    } else {
      if (v[SLOT_SCALEWIDTH] && (error = readSize(text(SLOT_SCALEWIDTH), &record->scaleWidth)))
        return error;
      if (v[SLOT_SCALEHEIGHT] && (error = readSize(text(SLOT_SCALEHEIGHT), &record->scaleHeight)))
        return error;
    }
  }

  if (v[SLOT_SCRDEPTH] && (error = readInteger(text(SLOT_SCRDEPTH), &record->screenDepth)))
    return error;
  if (v[SLOT_SCRWIDTH] && (error = readInteger(text(SLOT_SCRWIDTH), &record->screenWidth)))
    return error;
  if (v[SLOT_SCRHEIGHT] && (error = readInteger(text(SLOT_SCRHEIGHT), &record->screenHeight)))
    return error;
  if (v[SLOT_MONITOR]) {
    int32_t monitor = 0;
    if ((error = readInteger(text(SLOT_MONITOR), &monitor))) return error;
    if (monitor < 1) return ERR_MONITORRANGE;
    record->monitor = monitor - 1;
  }

  if (v[SLOT_BACKFILL]) {
    BackfillSpec& b = record->backfill;
    // The display's backfill names in any case, and the command line's own
    // other name for a gradient.
    const char* kind = text(SLOT_BACKFILL);
    if (const OptionName* named = FindOptionName(BACKFILL_KIND_NAMES, kind, true))
      b.kind = named->value;
    else if (CompareNoCase(kind, "RAINBOW") == 0)
      b.kind = BACKFILL_GRADIENT;
    else
      return ERR_BACKFILL;
    if (v[SLOT_BRUSH] && v[SLOT_BRUSHFILE]) return ERR_BACKFILL;
    if (b.kind == BACKFILL_COLOR && !v[SLOT_STARTCOLOR]) return ERR_BACKFILL;
    if (b.kind == BACKFILL_GRADIENT && (!v[SLOT_STARTCOLOR] || !v[SLOT_ENDCOLOR]))
      return ERR_BACKFILL;
    if (b.kind >= BACKFILL_TEXTURE && !v[SLOT_BRUSH] && !v[SLOT_BRUSHFILE]) return ERR_BACKFILL;
    if (v[SLOT_BRUSH] && (error = readInteger(text(SLOT_BRUSH), &b.brush))) return error;
    if (v[SLOT_BRUSHFILE]) StrCopyBounded(b.imageFile, sizeof b.imageFile, text(SLOT_BRUSHFILE));
    if (v[SLOT_STARTCOLOR] && (error = readInteger(text(SLOT_STARTCOLOR), &b.startColor)))
      return error;
    if (v[SLOT_ENDCOLOR] && (error = readInteger(text(SLOT_ENDCOLOR), &b.endColor))) return error;
    if (v[SLOT_SCALEPICTURE]) b.scalePicture = 1;
    if (v[SLOT_PICXPOS] && (error = readInteger(text(SLOT_PICXPOS), &b.x))) return error;
    if (v[SLOT_PICYPOS] && (error = readInteger(text(SLOT_PICYPOS), &b.y))) return error;
    if (v[SLOT_PICTRANS] && (error = readInteger(text(SLOT_PICTRANS), &b.transparentColor)))
      return error;
  }

  context->quiet = v[SLOT_QUIET] ? 1 : 0;
  context->noSound = v[SLOT_NOSOUND] ? 1 : 0;
  context->forceSound = v[SLOT_FORCESOUND] ? 1 : 0;
  if (v[SLOT_NUMCHANNELS]) {
    int32_t count = 0;
    if ((error = readInteger(text(SLOT_NUMCHANNELS), &count))) return error;
    if (count < 1) return ERR_CONSOLEARG;
    context->channelCount = count;
  }

  if (v[SLOT_TEMPDIR]) StrCopyBounded(player.tempDir, sizeof player.tempDir, text(SLOT_TEMPDIR));
  if (v[SLOT_NOCHDIR]) player.noChdir = 1;
  auto keep = [&](OptionSlot s, char** out, bool split) -> ErrorCode {
    if (!v[s]) return ERR_NONE;
    FreeMemory(*out);
    *out = split ? SplitBarList(text(s)) : dupText(text(s));
    return *out ? ERR_NONE : ERR_MEM;
  };
  if ((error = keep(SLOT_SKIPPLUGINS, &player.skipList, true))) return error;
  if ((error = keep(SLOT_REQUIREPLUGINS, &player.requireList, true))) return error;
  if ((error = keep(SLOT_REQUIRETAGS, &player.requiredTags, false))) return error;
  if (v[SLOT_XSERVER]) StrCopyBounded(record->xserver, sizeof record->xserver, text(SLOT_XSERVER));
  if ((error = keep(SLOT_SETCONSTANTS, &player.constants, false))) return error;
  if (v[SLOT_DEBUGDEVICE]) {
    player.debugDevice = 1;
    ErrorCode deviceError = OpenDebugDevice(text(SLOT_DEBUGDEVICE));
    if (deviceError) return deviceError;
  }
  if (v[SLOT_DEBUGOUTPUT]) vmRun.debugOutput = 1;
  if (v[SLOT_NODEBUG]) {
    player.noDebug = 1;
    vmRun.debugDisabled = 1;
  }
  if (v[SLOT_FORCEFLUSH]) SetConsoleFlush(1);
  if (v[SLOT_OVERRIDEPLACEMENT]) player.overridePlacement = 1;
  if (v[SLOT_AUDIODEVICE])
    StrCopyBounded(player.audioDevice, sizeof player.audioDevice, text(SLOT_AUDIODEVICE));
  if (v[SLOT_NOMOUSEHOOK]) SetNoPointerThread(1);
  if (v[SLOT_SOFTTIMER]) record->runtimeSettings |= 0x1;

  static const struct {
    OptionSlot slot;
    int32_t mode;
  } MODES[] = {{SLOT_WINDOW, DISPMODE_WINDOWED},
               {SLOT_FULLSCREEN, DISPMODE_FULLSCREEN},
               {SLOT_FULLSCREENSCALE, DISPMODE_FULLSCREENSCALE},
               {SLOT_FAKEFULLSCREEN, DISPMODE_FAKEFULLSCREEN},
               {SLOT_MODEREQUESTER, DISPMODE_MODEREQUESTER},
               {SLOT_ASKDISPLAYMODE, DISPMODE_ASK},
               {SLOT_SYSTEMSCALE, DISPMODE_SYSTEMSCALE}};
  int given = 0;
  for (const auto& m : MODES)
    if (v[m.slot]) {
      given++;
      record->displayMode = m.mode;
    }
  if (given > 1) return ERR_CONSOLEARG;
  return ERR_NONE;
}
