#include "bootstrap/Bootstrap.h"
#include "bootstrap/EntryPoint.h"

#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

// The bootstrapper takes no arguments; all four parameters are deliberately unused.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    // Before anything else: the common controls below are the first delay-loaded DLL.
    Lite::RestrictDllSearchToSystem();

    // Task dialogs exist only in version 6 of the common controls; failures here surface later as the
    // failure of a dialog, which reports itself.
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

    const int exitCode = Lite::RunAndReport(&Lite::RunBootstrap);

    ::CoUninitialize();
    return exitCode;
}
