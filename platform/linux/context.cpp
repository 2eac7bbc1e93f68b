// The platform's context record (context_private.h) and its Init and Free,
// which the library table calls.
#include "platform/linux/context_private.h"

#include "platform/linux/eventhooks_private.h"
#include "platform/linux/files_private.h"
#include "platform/linux/joystick_private.h"
#include "platform/linux/locale_private.h"
#include "platform/linux/platform.h"

PlatformContext platformContext;

void InitPlatformContext() { platformContext = PlatformContext{}; }

// Last of every folder: the services the libraries above installed (the
// event poll, the event sink, the adapter, requester and title slots), the
// catalogs, the joysticks, then the X connection (with the signal thread),
// and last the run's temporary names, which its shut-down has deleted.
void FreePlatformContext() {
  SetEventPoll(nullptr);
  SetX11EventSink(nullptr, nullptr);
  SetX11DropQuery(nullptr);
  SetDisplayAdapterHooks(nullptr, nullptr);
  SetDisplayAdapterWait(nullptr);
  SetRequesterParentHooks(nullptr, nullptr);
  SetAppletTitleSource(nullptr);
  ClosePlayerCatalog();
  InstallTextCatalog(nullptr);
  FreeJoysticks();
  CloseX11Connection();
  ForgetRunTempNames();
  InitPlatformContext();
}
