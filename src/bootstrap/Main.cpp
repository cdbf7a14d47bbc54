#include "bootstrap/Bootstrap.h"
#include "bootstrap/DelayLoad.h"
#include "bootstrap/EntryPoint.h"

#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

// The bootstrapper takes no arguments; all four parameters are deliberately unused.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    // Before anything else: the common controls below are the first delay-loaded DLL.
    Lite::RestrictDllSearchToSystem();

    // Task dialogs exist only in version 6 of the common controls. Where the DLL cannot be loaded at
    // all, the start goes on without it: the launch road shows no task dialog, and the consent prompt
    // and the download dialog check the DLL again themselves and end in the warning box. Called
    // unchecked, the missing DLL would crash the process right here, outside any handler.
    if (Lite::IsDelayLoadedDllUsable(L"comctl32.dll")) {
        INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES};
        ::InitCommonControlsEx(&controls);
    }
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

    const int exitCode = Lite::RunAndReport(&Lite::RunBootstrap);

    ::CoUninitialize();
    return exitCode;
}
