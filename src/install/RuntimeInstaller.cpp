#include "install/RuntimeInstaller.h"

#include "bootstrap/Error.h"
#include "bootstrap/ScopedOwner.h"
#include "install/DownloadDialog.h"
#include "storage/DataRoot.h"
#include "storage/Directories.h"

#include <string>

namespace Lite {

namespace Seams {
BOOL(WINAPI* shellExecuteEx)(SHELLEXECUTEINFOW* request) = &::ShellExecuteExW;
}

namespace {

constexpr std::uint32_t UserCancelled = 1602;  // ERROR_INSTALL_USEREXIT

}

std::uint32_t DownloadAndInstallRuntime()
{
    const std::wstring downloads = JoinPath(ResolveDataRoot(), DownloadsDirectoryName);
    const std::wstring reserved = MakeTempFilePath(downloads);
    const std::wstring installerPath = reserved + L".exe";
    // Without MOVEFILE_REPLACE_EXISTING a leftover of an earlier run is never overwritten.
    if (!::MoveFileExW(reserved.c_str(), installerPath.c_str(), MOVEFILE_WRITE_THROUGH)) {
        ::DeleteFileW(reserved.c_str());
        throw Error{L"无法准备下载文件。"};
    }
    StagedFileOwner staged(installerPath);

    // Declared after the staged file so that it is closed before the file is deleted.
    HandleOwner verifiedInstaller;
    if (!ShowDownloadDialog(installerPath, verifiedInstaller)) {
        return UserCancelled;
    }

    SHELLEXECUTEINFOW request{};
    request.cbSize = sizeof(request);
    request.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
    request.lpVerb = L"runas";
    request.lpFile = installerPath.c_str();
    request.lpParameters = L"/install /passive /norestart";
    request.nShow = SW_SHOWNORMAL;
    if (!Seams::shellExecuteEx(&request)) {
        if (::GetLastError() == ERROR_CANCELLED) {
            throw Error{L"您已取消管理员授权，运行环境尚未安装。需要时可重新打开轻量版。"};
        }
        throw Error{L"无法启动微软安装程序，请重新尝试或使用完整版。"};
    }
    if (request.hProcess == nullptr) {
        throw Error{L"无法取得运行环境安装结果。"};
    }

    HandleOwner installer(request.hProcess);
    ::WaitForSingleObject(installer.Get(), INFINITE);
    DWORD exitCode = 1;
    ::GetExitCodeProcess(installer.Get(), &exitCode);
    return exitCode;
}

}
