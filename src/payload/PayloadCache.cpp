#include "payload/PayloadCache.h"

#include "bootstrap/BuildConfig.h"
#include "bootstrap/Error.h"
#include "bootstrap/ScopedOwner.h"
#include "integrity/FileDigest.h"
#include "storage/DataRoot.h"
#include "storage/Directories.h"
#include "storage/PathRules.h"

#include <windows.h>

namespace Lite {

namespace {

constexpr WORD PayloadResourceId = 201;
constexpr std::size_t Sha256TextLength = 64;

bool IsExpectedDigest(const std::wstring& digest)
{
    return digest.size() == Sha256TextLength && digest == Build::PayloadSha256;
}

// Only "not there" counts as absent; any other failure to look is not a reason to overwrite the file.
bool FileExists(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    return ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
           FalseIfNotFound(::GetLastError(), "exists", path);
}

struct PayloadBytes {
    const void* data;
    DWORD size;
};

PayloadBytes LoadPayload()
{
    HRSRC resource = ::FindResourceW(nullptr, MAKEINTRESOURCEW(PayloadResourceId), MAKEINTRESOURCEW(10));
    if (resource == nullptr) {
        throw Error{L"轻量版文件不完整，请重新下载。"};
    }
    const DWORD size = ::SizeofResource(nullptr, resource);
    const void* data = ::LockResource(::LoadResource(nullptr, resource));
    if (data == nullptr || size == 0) {
        throw Error{L"轻量版文件不完整，请重新下载。"};
    }
    return {data, size};
}

// Everything up to the replace step happens on a private name, so the final name never shows a
// partial or unverified copy.
void ExtractTo(const std::wstring& appPath, const std::wstring& payloadDirectory)
{
    const PayloadBytes payload = LoadPayload();
    StagedFileOwner staging(MakeTempFilePath(payloadDirectory));

    {
        HandleOwner file(::CreateFileW(staging.Get().c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.IsHeld()) {
            throw Error{L"写入轻量版文件失败。"};
        }
        DWORD written = 0;
        if (!::WriteFile(file.Get(), payload.data, payload.size, &written, nullptr) || written != payload.size ||
            !::FlushFileBuffers(file.Get())) {
            throw Error{L"写入轻量版文件失败。"};
        }
    }

    if (!IsExpectedDigest(ComputeFileDigest(staging.Get(), L"SHA256"))) {
        throw Error{L"轻量版文件校验失败，请重新下载。"};
    }
    if (!::MoveFileExW(staging.Get().c_str(), appPath.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        throw Error{L"无法准备轻量版文件，请关闭正在运行的同版本程序后重试。"};
    }
    staging.Detach();
}

}

std::wstring EnsurePayload()
{
    const std::wstring payloadDirectory =
        JoinPath(JoinPath(ResolveDataRoot(), Build::ProductVersion), Build::PayloadDirectoryName);
    EnsureDirectory(payloadDirectory);
    const std::wstring appPath = JoinPath(payloadDirectory, AppFileName);

    if (IsDirectoryOrLinkAttributes(::GetFileAttributesW(appPath.c_str()))) {
        throw Error{L"轻量版文件位置不可用。"};
    }
    // Copies that killed starts left behind, on every start, not only before an extraction: a leftover
    // that was held open last time would otherwise stay for good once a valid copy is in place.
    RemoveLeftoverTempFiles(payloadDirectory);

    // The digest, not the size or the time stamp, decides whether an earlier copy can be trusted.
    if (FileExists(appPath) && IsExpectedDigest(ComputeFileDigest(appPath, L"SHA256"))) {
        return appPath;
    }
    ExtractTo(appPath, payloadDirectory);
    return appPath;
}

}
