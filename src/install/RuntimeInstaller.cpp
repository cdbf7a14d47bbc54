#include "install/RuntimeInstaller.h"

#include "bootstrap/Error.h"
#include "bootstrap/ScopedOwner.h"
#include "bootstrap/Seams.h"
#include "install/DownloadDialog.h"
#include "storage/DataRoot.h"
#include "storage/Directories.h"
#include "storage/PathRules.h"

#include <string>

namespace Lite {

namespace {

constexpr std::uint32_t UserCancelled = 1602;  // ERROR_INSTALL_USEREXIT
// Added to the reserved name: the shell starts the installer by its name, which must end in .exe.
constexpr std::wstring_view InstallerEnding = L".exe";

bool IsSameFile(const BY_HANDLE_FILE_INFORMATION& left, const BY_HANDLE_FILE_INFORMATION& right)
{
    return left.dwVolumeSerialNumber == right.dwVolumeSerialNumber && left.nFileIndexHigh == right.nFileIndexHigh &&
           left.nFileIndexLow == right.nFileIndexLow;
}

}

void RemoveDownloadLeftovers() noexcept
{
    try {
        RemoveLeftoverTempFiles(JoinPath(ResolveDataRoot(), DownloadsDirectoryName), InstallerEnding);
    } catch (...) {
        // Nothing to report: the files stay until a later start can remove them.
    }
}

bool NamesVerifiedInstaller(const std::wstring& downloadsDirectory, const std::wstring& installerPath,
                            HANDLE verifiedInstaller)
{
    if (!IsPlainDirectoryChain(downloadsDirectory)) {
        return false;
    }
    // The name itself, not whatever a link at it points to. Attribute access only, so the read-only
    // sharing of the held handle does not stand in the way.
    HandleOwner named(::CreateFileW(installerPath.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION namedFile{};
    BY_HANDLE_FILE_INFORMATION verifiedFile{};
    if (!named.IsHeld() || !::GetFileInformationByHandle(named.Get(), &namedFile) ||
        !::GetFileInformationByHandle(verifiedInstaller, &verifiedFile)) {
        return false;
    }
    return IsPlainFileAttributes(namedFile.dwFileAttributes) && IsSameFile(namedFile, verifiedFile);
}

std::uint32_t DownloadAndInstallRuntime()
{
    const std::wstring downloads = JoinPath(ResolveDataRoot(), DownloadsDirectoryName);
    // MakeTempFilePath allocates its name before the file exists, and each name is moved into its
    // owner, never copied, so no allocation can come between a file appearing on disk and the owner
    // that deletes it.
    StagedFileOwner reserved(MakeTempFilePath(downloads));
    std::wstring installerPath = reserved.Get() + std::wstring(InstallerEnding);
    // Without MOVEFILE_REPLACE_EXISTING a leftover of an earlier run is never overwritten; the reserved
    // name is deleted by its owner.
    if (!::MoveFileExW(reserved.Get().c_str(), installerPath.c_str(), MOVEFILE_WRITE_THROUGH)) {
        throw Error{L"无法准备下载文件。"};
    }
    reserved.Detach();
    const StagedFileOwner staged(std::move(installerPath));

    // Declared after the staged file so that it is closed before the file is deleted.
    HandleOwner verifiedInstaller;
    if (!ShowDownloadDialog(staged.Get(), verifiedInstaller)) {
        return UserCancelled;
    }

    // The shell opens the installer by its name again. Another process of the same user may have
    // redirected the downloads directory (it was empty before the download) or put another file at the
    // name; then the name no longer stands for the bytes that were checked, and nothing is started.
    if (!NamesVerifiedInstaller(downloads, staged.Get(), verifiedInstaller.Get())) {
        throw Error{L"无法启动微软安装程序，请重新尝试或使用完整版。"};
    }

    SHELLEXECUTEINFOW request{};
    request.cbSize = sizeof(request);
    request.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
    request.lpVerb = L"runas";
    request.lpFile = staged.Get().c_str();
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
