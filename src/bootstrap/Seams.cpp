#include "bootstrap/Seams.h"

#include "install/DownloadDialog.h"

namespace Lite {

namespace {

std::thread StartWorkerThread(DownloadState& state, HWND dialogWindow)
{
    return std::thread(DownloadWorker, &state, dialogWindow);
}

}

namespace Seams {

HANDLE(WINAPI* openStatusTarget)(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                 DWORD disposition, DWORD flags, HANDLE templateFile) = &::CreateFileW;
HRESULT(WINAPI* taskDialog)(const TASKDIALOGCONFIG* config, int* button, int* radioButton,
                            BOOL* verificationChecked) = &::TaskDialogIndirect;
std::thread (*startDownloadWorker)(DownloadState& state, HWND dialogWindow) = &StartWorkerThread;
BOOL(WINAPI* shellExecuteEx)(SHELLEXECUTEINFOW* request) = &::ShellExecuteExW;

}

}
