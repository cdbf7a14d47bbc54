#pragma once

#include "bootstrap/ScopedOwner.h"

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <string>
#include <thread>

namespace Lite {

// Shared by the dialog's thread and the download worker. The two flags only ever go from false to
// true; the plain members are written by the worker before `finished` and read by the dialog's thread
// only after joining it.
struct DownloadState {
    std::atomic<bool> cancelRequested{false};
    std::atomic<bool> finished{false};
    bool succeeded = false;
    std::wstring failureMessage;
    std::wstring installerPath;
    std::thread worker;
    // Held from the start of the checks on, read-only sharing: nothing can change, replace or delete
    // the verified bytes before the installer has run from them.
    HandleOwner verifiedInstaller;
};

// Downloads and verifies the installer in a cancellable progress dialog. True for a verified
// installer, false when the user cancelled; throws Error otherwise. On success the caller gets the
// handle that keeps the verified file from being changed until the installer has run from it.
bool ShowDownloadDialog(const std::wstring& installerPath, HandleOwner& verifiedInstaller);

HRESULT CALLBACK DownloadDialogCallback(HWND dialog, UINT notification, WPARAM wParam, LPARAM lParam,
                                        LONG_PTR callbackData);

void DownloadWorker(DownloadState* state, HWND dialogWindow);

}
