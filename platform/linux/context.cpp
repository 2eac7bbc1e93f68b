// The platform's context record: Init and Free of the state one run of the
// player builds in this folder (see platform.h).
#include "platform/linux/platform.h"

void InitPlatformContext() {}

// Last of every folder: the catalogs, then the X connection.
void FreePlatformContext() {
  ClosePlayerCatalog();
  CloseX11Connection();
}
