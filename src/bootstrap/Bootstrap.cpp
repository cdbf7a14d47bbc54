#include "bootstrap/Bootstrap.h"

#include "bootstrap/Error.h"
#include "bootstrap/LaunchFlow.h"
#include "bootstrap/ScopedOwner.h"
#include "install/InstallConsent.h"
#include "install/RuntimeInstaller.h"
#include "payload/PayloadCache.h"
#include "runtime/AppLaunch.h"
#include "runtime/RuntimeProbe.h"

#include <windows.h>

#include <string>

namespace Lite {

namespace {

constexpr wchar_t MutexName[] = L"Local\\Corvane.Lite.Bootstrap";
constexpr wchar_t MessageTitle[] = L"Corvane 轻量版";

}

int RunBootstrap()
{
    // Initial ownership is asked for, but the name itself is the guard: it lives exactly as long as
    // this handle, so closing it (never ReleaseMutex) lets the next start through.
    HandleOwner mutex(::CreateMutexW(nullptr, TRUE, MutexName));
    if (!mutex.IsHeld()) {
        throw Error{L"无法准备轻量版启动。"};
    }
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::MessageBoxW(nullptr, L"另一个轻量版启动或安装窗口正在处理中，请先完成该窗口。", MessageTitle,
                      MB_OK | MB_ICONINFORMATION);
        return 0;
    }

    const std::wstring appPath = EnsurePayload();
    // On every start, whichever road it takes: the runtime may have come by other means since the
    // download that was killed.
    RemoveDownloadLeftovers();
    std::wstring runtimeRoot;

    LaunchSteps steps{
        .probeRuntime =
            [&] {
                runtimeRoot = FindWorkingRuntime(appPath);
                return !runtimeRoot.empty();
            },
        .askToInstall = [] { return AskToInstallRuntime(); },
        .installRuntime = [] { return DownloadAndInstallRuntime(); },
        .launchApp = [&] { LaunchApp(appPath, runtimeRoot); },
    };
    return RunLaunchFlow(steps);
}

}
