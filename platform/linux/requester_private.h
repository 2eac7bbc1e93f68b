// The requesters of platform/linux that other folders do not call, and the
// console requesters that the requester front end falls back to. Used
// inside platform/linux and by tests.
#pragma once

#include <cstdio>

#include "platform/linux/platform.h"

// ---- Requesters ----
// Message, file, path, string, list, font and colour requesters: GTK 2
// dialogs shown by a thread of their own when GTK is bound and an X display
// opens, console prompts otherwise. Each blocks its caller until answered.
// Answers of the message requester: buttons count from 1 at the left, the
// rightmost answers 0. End of input on the console cancels.

// Button sets: 0 "OK|Cancel", 1 "Yes|No", 2 "Yes|No|Cancel", 3 a single OK,
// 4 any other string (*buttons is kept only for 4).
int32_t RequesterButtonsFromType(const char** buttons);
// Test seam: the console's input and output (null restores stdin, stdout).
void SetRequesterConsole(FILE* input, FILE* output);
// Stops the GTK requester thread when it runs (shut-down).
void StopRequesterThread();
// The argument count and vector that GTK is initialised with.
void SetRequesterArguments(int* argc, char*** argv);

// The console requesters: each returns its cancel value at end of input.
int32_t ConsoleMessageRequester(const char* body, const char* buttons);  // answer number
int32_t ConsoleListRequester(const char* body, const char* choices);     // index or -1
char* ConsoleStringRequester(const char* prompt, int32_t type,
                             int32_t maxLength);  // new, "" cancelled
// A new path, or null when cancelled.
char* ConsolePathPrompt(const char* title, int wantDirectory, int saveMode);
int ConsoleFontRequester(FontRequestResult* result);  // 1 chosen, 0 cancelled
int32_t ConsoleColorRequester();                      // 0xRRGGBB or -1
