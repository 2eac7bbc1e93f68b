// Services of the platform layer for the console and for the end of a run
// by a termination signal, which the start-up, the shut-down and the
// commands that print or wait call: the open progress line of standard
// output, console reads and sleeps that give way to a termination request,
// and the signal that decides the exit status. The rest of the platform's
// services are in platform/linux/platform.h.
#pragma once

#include <cstdint>
#include <cstdio>

// A progress line ("Loading brush x...") stays open on standard output until
// its closing word. Output of any other kind to standard output first ends
// an open line, so it never runs onto the progress text when the closing
// word does not come (a failed load). SetConsoleLineOpen marks or clears
// the line; EndConsoleLine ends it when stream is standard output.
void SetConsoleLineOpen(int open);
void EndConsoleLine(FILE* stream);
// One line of at most size - 1 bytes from stream into buffer, as fgets
// reads it; null at end of input, on a read error, and when a termination
// request comes while it waits for input.
char* ReadConsoleLine(char* buffer, int size, FILE* stream);

// As Delay, but ends early when a termination request comes (see
// NativeQuitRequested); 1 when it did.
int DelayUnlessQuit(int32_t milliseconds);

// After a termination signal (NativeQuitRequested) every wait of the player
// ends early. When the shut-down has not begun within a second, the program
// ends without it (the run's temporary files are still deleted);
// NoteShutdownBegun, called as the shut-down starts, says that it has.
// TakeTerminationSignal returns the first signal's number (0 for none) and
// forgets it: the exit status after a termination is 128 + that number.
void NoteShutdownBegun();
int TakeTerminationSignal();
