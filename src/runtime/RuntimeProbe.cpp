#include "runtime/RuntimeProbe.h"

#include "bootstrap/ScopedOwner.h"
#include "bootstrap/Seams.h"
#include "runtime/RuntimeRoots.h"
#include "storage/DataRoot.h"
#include "storage/PathRules.h"

#include <windows.h>

#include <algorithm>

namespace Lite {

namespace {

constexpr DWORD ProbeTimeoutMs = 10000;
constexpr DWORD TerminatedWaitMs = 2000;
constexpr wchar_t ProbeSwitch[] = L" --corvane-runtime-probe";

// Follows links as the standard status query does, so a linked framework directory counts. The
// platform is asked itself because the standard library here goes through the C runtime, which folds
// every platform error into a few errno values: "not there" could not be told from "cannot look".
// Any failure other than "not found" means the machine is in a state we cannot judge, and it is not
// passed off as a missing runtime.
bool IsDirectory(const std::wstring& path)
{
    // Attribute access only; backup semantics is what lets a directory be opened at all.
    HandleOwner target(Seams::openStatusTarget(path.c_str(), FILE_READ_ATTRIBUTES,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION information{};
    if (target.IsHeld() && ::GetFileInformationByHandle(target.Get(), &information)) {
        return (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    }
    return FalseIfNotFound(::GetLastError(), "status", path);
}

bool HasFrameworkDirectories(const std::wstring& runtimeRoot)
{
    const std::wstring shared = JoinPath(runtimeRoot, L"shared");
    return IsDirectory(JoinPath(shared, L"Microsoft.WindowsDesktop.App")) &&
           IsDirectory(JoinPath(shared, L"Microsoft.NETCore.App"));
}

}

std::wstring QuotePath(const std::wstring& path)
{
    return L"\"" + path + L"\"";
}

std::wstring AppDirectory(const std::wstring& appPath)
{
    const auto lastSeparator = std::find_if(appPath.rbegin(), appPath.rend(), IsPathSeparator);
    auto end = lastSeparator;
    while (end != appPath.rend() && IsPathSeparator(*end)) {
        ++end;
    }
    std::wstring directory(appPath.begin(), end.base());
    // Stripping the separator of a drive root would leave "C:", which means that drive's current
    // directory rather than its root.
    if (lastSeparator != appPath.rend() && (directory.empty() || directory.back() == L':')) {
        directory += *lastSeparator;
    }
    return directory;
}

void SetRuntimeVariables(const std::wstring& runtimeRoot)
{
    ::SetEnvironmentVariableW(L"DOTNET_ROOT_X64", runtimeRoot.c_str());
    ::SetEnvironmentVariableW(L"DOTNET_ROOT", runtimeRoot.c_str());
    ::SetEnvironmentVariableW(L"DOTNET_MULTILEVEL_LOOKUP", L"0");
}

bool ProbeRuntime(const std::wstring& appPath, const std::wstring& runtimeRoot)
{
    if (!HasFrameworkDirectories(runtimeRoot)) {
        return false;
    }

    SetRuntimeVariables(runtimeRoot);
    // Keeps the app host from showing its own error window during a run nobody is looking at.
    ::SetEnvironmentVariableW(L"DOTNET_DISABLE_GUI_ERRORS", L"1");

    std::wstring commandLine = QuotePath(appPath) + ProbeSwitch;
    const std::wstring directory = AppDirectory(appPath);
    STARTUPINFOW startupInfo{};
    startupInfo.cb = sizeof(startupInfo);
    PROCESS_INFORMATION processInfo{};
    if (!::CreateProcessW(appPath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                          directory.c_str(), &startupInfo, &processInfo)) {
        return false;
    }
    // Declared in this order so the thread handle is closed first.
    HandleOwner process(processInfo.hProcess);
    HandleOwner thread(processInfo.hThread);

    if (::WaitForSingleObject(process.Get(), ProbeTimeoutMs) != WAIT_OBJECT_0) {
        // A run that hangs proves nothing; it must not outlive the search, but we wait only briefly.
        ::TerminateProcess(process.Get(), 1);
        ::WaitForSingleObject(process.Get(), TerminatedWaitMs);
        return false;
    }
    DWORD exitCode = 1;
    ::GetExitCodeProcess(process.Get(), &exitCode);
    return exitCode == 0;
}

std::wstring FindWorkingRuntime(const std::wstring& appPath)
{
    for (const std::wstring& candidate : FindRuntimeRoots()) {
        if (ProbeRuntime(appPath, candidate)) {
            return candidate;
        }
    }
    return {};
}

}
