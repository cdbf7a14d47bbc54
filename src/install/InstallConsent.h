#pragma once

#include <windows.h>

#include <commctrl.h>

namespace Lite {

// Asks whether the runtime may be downloaded and installed; true only for the download choice.
bool AskToInstallRuntime();

namespace Seams {
// The dialog call behind the prompt. Tests replace it to reproduce a failing dialog call, which a real
// window cannot be made to produce on demand.
extern HRESULT(WINAPI* consentTaskDialog)(const TASKDIALOGCONFIG* config, int* button, int* radioButton,
                                          BOOL* verificationChecked);
}

}
