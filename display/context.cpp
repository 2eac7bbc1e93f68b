// The display folder's context record: Init and Free of the state one run
// of the player builds in this folder (see display.h).
#include "display/display.h"

void InitDisplayContext() {}

void FreeDisplayContext() {}
