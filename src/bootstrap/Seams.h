#pragma once

// The platform calls that tests replace, all in one place. Each stands for a condition that neither
// Wine nor a test build can be made to produce on demand; everything else is tested against the real
// calls. Product code only ever calls through them.

#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <thread>

namespace Lite {

struct DownloadState;

namespace Seams {

// Opens a framework directory (links followed) to read its attributes. Replaced to reproduce access
// denied, which Wine never reports here: an unreadable directory reads as "not found".
extern HANDLE(WINAPI* openStatusTarget)(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                        DWORD disposition, DWORD flags, HANDLE templateFile);

// Shows a task dialog: the consent prompt and the download dialog. Replaced to reproduce a dialog call
// that fails, or fails after its creation notification started the download worker, which a real
// window cannot be made to do.
extern HRESULT(WINAPI* taskDialog)(const TASKDIALOGCONFIG* config, int* button, int* radioButton,
                                   BOOL* verificationChecked);

// Starts the download worker thread. Replaced to reproduce a thread that cannot be created, which no
// platform here can be made to do on demand.
extern std::thread (*startDownloadWorker)(DownloadState& state, HWND dialogWindow);

// The elevated start of the installer. Replaced to reproduce a refused elevation prompt, which Wine
// never shows.
extern BOOL(WINAPI* shellExecuteEx)(SHELLEXECUTEINFOW* request);

}

}
