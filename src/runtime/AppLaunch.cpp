#include "runtime/AppLaunch.h"

#include "bootstrap/Error.h"
#include "bootstrap/ScopedOwner.h"
#include "runtime/RuntimeProbe.h"

#include <windows.h>

namespace Lite {

namespace {

constexpr DWORD ModulePathUnits = 32768;

std::wstring OwnExecutablePath()
{
    std::wstring buffer(ModulePathUnits, L'\0');
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), ModulePathUnits);
    // A result of the full buffer size means the path was cut short; a cut path would hand the app a
    // wrong way back to us, so it counts as a failure.
    if (length == 0 || length >= ModulePathUnits) {
        throw Error{L"无法确定轻量版所在位置。"};
    }
    buffer.resize(length);
    return buffer;
}

}

void LaunchApp(const std::wstring& appPath, const std::wstring& runtimeRoot)
{
    SetRuntimeVariables(runtimeRoot);
    // The probe's "1" must not reach the real app: there a failing host should say why in its window.
    ::SetEnvironmentVariableW(L"DOTNET_DISABLE_GUI_ERRORS", nullptr);
    ::SetEnvironmentVariableW(L"CORVANE_BOOTSTRAP_PATH", OwnExecutablePath().c_str());

    std::wstring commandLine = QuotePath(appPath);
    const std::wstring directory = AppDirectory(appPath);
    STARTUPINFOW startupInfo{};
    startupInfo.cb = sizeof(startupInfo);
    PROCESS_INFORMATION processInfo{};
    if (!::CreateProcessW(appPath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, directory.c_str(),
                          &startupInfo, &processInfo)) {
        throw Error{L"运行环境已就绪，但截图工具未能启动。请重新打开轻量版，或使用完整版。"};
    }
    // The app lives on alone: close our handles (thread first) without waiting for it.
    HandleOwner process(processInfo.hProcess);
    HandleOwner thread(processInfo.hThread);
}

}
