#include "install/DownloadDialog.h"

#include "bootstrap/BuildConfig.h"
#include "bootstrap/Error.h"
#include "bootstrap/Seams.h"
#include "install/RuntimeDownload.h"
#include "install/TaskDialogs.h"
#include "integrity/FileDigest.h"
#include "integrity/InstallerSignature.h"

#include <commctrl.h>

namespace Lite {

namespace {

constexpr wchar_t GenericFailure[] = L"下载或校验失败，请稍后重试。";

void SetContent(HWND dialog, const wchar_t* text)
{
    ::SendMessageW(dialog, TDM_SET_ELEMENT_TEXT, TDE_CONTENT, reinterpret_cast<LPARAM>(text));
}

void CloseWhenFinished(DownloadState& state, HWND dialog)
{
    state.finished.exchange(true);
    ::PostMessageW(dialog, TDM_CLICK_BUTTON, IDCANCEL, 0);
}

HandleOwner LockAgainstChanges(const std::wstring& path)
{
    HandleOwner file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsHeld()) {
        throw Error{L"无法读取需要校验的文件。"};
    }
    return file;
}

}

void DownloadWorker(DownloadState* state, HWND dialogWindow)
{
    try {
        DownloadFile(state->installerPath, state->cancelRequested, dialogWindow);
        if (state->cancelRequested.load()) {
            throw Error{L"已取消下载。"};
        }
        SetContent(dialogWindow, L"下载已完成，正在核验微软安装文件……");

        state->verifiedInstaller = LockAgainstChanges(state->installerPath);
        const std::wstring digest = ComputeFileDigest(state->installerPath, L"SHA512");
        if (digest.size() != 128 || digest != Build::InstallerSha512) {
            throw Error{L"下载文件校验未通过，已停止安装。请检查网络后重试。"};
        }
        if (!VerifyInstallerSignature(state->installerPath)) {
            throw Error{L"无法确认安装文件的微软签名，已停止安装。请检查系统时间和证书状态后重试。"};
        }
        state->succeeded = !state->cancelRequested.load();
    } catch (const Error& error) {
        state->failureMessage = error.message;
    } catch (...) {
        state->failureMessage = GenericFailure;
    }
    CloseWhenFinished(*state, dialogWindow);
}

HRESULT CALLBACK DownloadDialogCallback(HWND dialog, UINT notification, WPARAM, LPARAM, LONG_PTR callbackData)
{
    auto& state = *reinterpret_cast<DownloadState*>(callbackData);
    switch (notification) {
    case TDN_CREATED:
        ::SendMessageW(dialog, TDM_SET_MARQUEE_PROGRESS_BAR, TRUE, 0);
        ::SendMessageW(dialog, TDM_SET_PROGRESS_BAR_MARQUEE, TRUE, 40);
        try {
            state.worker = Seams::startDownloadWorker(state, dialog);
        } catch (...) {
            // Without a worker nobody would ever close the dialog: close it now and report.
            state.failureMessage = GenericFailure;
            CloseWhenFinished(state, dialog);
        }
        return S_OK;
    case TDN_BUTTON_CLICKED:
        // Cancel, Esc, Alt+F4 and the close box all arrive here. Until the worker has stopped the
        // dialog stays, so the worker never sends to a window that is gone.
        if (state.finished.load()) {
            return S_OK;
        }
        state.cancelRequested.exchange(true);
        ::SendMessageW(dialog, TDM_ENABLE_BUTTON, IDCANCEL, FALSE);
        SetContent(dialog, L"正在取消下载，请稍候……");
        return S_FALSE;
    default:
        return S_OK;
    }
}

bool ShowDownloadDialog(const std::wstring& installerPath, HandleOwner& verifiedInstaller)
{
    PrepareTaskDialogs();
    DownloadState state;
    state.installerPath = installerPath;

    TASKDIALOGCONFIG config{};
    config.cbSize = sizeof(config);
    config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION | TDF_SHOW_MARQUEE_PROGRESS_BAR;
    config.dwCommonButtons = TDCBF_CANCEL_BUTTON;
    config.pszWindowTitle = L"Corvane 轻量版 — 下载运行环境";
    const std::wstring mainInstruction = L"正在准备 .NET " + std::wstring(Build::RuntimeMajorVersion) + L" 桌面运行环境";
    config.pszMainInstruction = mainInstruction.c_str();
    config.pszContent = L"正在连接微软下载服务。下载期间可以取消。";
    config.pfCallback = DownloadDialogCallback;
    config.lpCallbackData = reinterpret_cast<LONG_PTR>(&state);

    const HRESULT shown = Seams::taskDialog(&config, nullptr, nullptr, nullptr);
    if (FAILED(shown)) {
        state.cancelRequested.exchange(true);
    }
    if (state.worker.joinable()) {
        state.worker.join();
    }
    if (FAILED(shown)) {
        throw Error{L"无法显示下载窗口。"};
    }
    if (state.cancelRequested.load()) {
        return false;
    }
    if (!state.succeeded) {
        throw Error{state.failureMessage.empty() ? std::wstring(L"下载未完成。") : state.failureMessage};
    }
    verifiedInstaller = std::move(state.verifiedInstaller);
    return true;
}

}
