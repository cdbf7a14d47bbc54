#include "install/TaskDialogs.h"

#include "bootstrap/DelayLoad.h"

#include <windows.h>
#include <commctrl.h>

namespace Lite {

void PrepareTaskDialogs()
{
    RequireDelayLoadedDll(L"comctl32.dll");
    // Task dialogs exist only in version 6 of the common controls, which the manifest asks for. A
    // second call costs nothing; its result changes nothing, since a dialog that cannot be made reports
    // itself.
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);
}

}
