// The console requesters that the requester front end falls back to. Each
// returns its cancel value at end of input.
#pragma once

#include "platform/linux/platform.h"

int32_t ConsoleMessageRequester(const char* body, const char* buttons);  // answer number
int32_t ConsoleListRequester(const char* body, const char* choices);     // index or -1
char* ConsoleStringRequester(const char* prompt, int32_t type,
                             int32_t maxLength);  // new, "" cancelled
// A new path, or null when cancelled.
char* ConsolePathPrompt(const char* title, int wantDirectory, int saveMode);
int ConsoleFontRequester(FontRequestResult* result);  // 1 chosen, 0 cancelled
int32_t ConsoleColorRequester();                      // 0xRRGGBB or -1
