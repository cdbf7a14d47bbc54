#include "bootstrap/Bootstrap.h"
#include "bootstrap/EntryPoint.h"

#include <windows.h>
#include <objbase.h>

// The bootstrapper takes no arguments; all four parameters are deliberately unused.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    // Before anything else: every DLL loaded from here on comes from System32.
    Lite::RestrictDllSearchToSystem();

    // The common controls are made ready right before the first task dialog, not here: most starts show
    // none, and loading them cost a warm start about a sixth of its time. A missing DLL then ends in the
    // warning box like any other failure, instead of crashing the process outside every handler.
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

    const int exitCode = Lite::RunAndReport(&Lite::RunBootstrap);

    ::CoUninitialize();
    return exitCode;
}
