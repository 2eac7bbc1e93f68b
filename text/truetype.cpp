// The TrueType font engine.
#include "text/font_private.h"

// Waiting for the TrueType engine: no face can be opened yet, so every
// TrueType request fails and the opener reports that the font cannot open.
int OpenTrueTypeFont(const char* name, int32_t size, int32_t cache, FontRecord* record) {
  return 0;
}
