#include "payload/PayloadCache.h"

#include "bootstrap/BuildConfig.h"
#include "bootstrap/Error.h"
#include "bootstrap/ScopedOwner.h"
#include "integrity/FileDigest.h"
#include "storage/DataRoot.h"
#include "storage/Directories.h"
#include "storage/PathRules.h"

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

namespace Lite {

namespace {

constexpr WORD PayloadResourceId = 201;
constexpr std::size_t Sha256TextLength = 64;
// GetTempFileNameW with a unique value of 0 writes the low 16 bits of its number in hexadecimal.
constexpr std::size_t MaxStagingDigits = 4;
constexpr std::wstring_view StagingExtension = L".tmp";

using FindHandleOwner = ScopedOwner<HANDLE, &::FindClose, &IsUsableHandle>;

bool IsExpectedDigest(const std::wstring& digest)
{
    return digest.size() == Sha256TextLength && digest == Build::PayloadSha256;
}

// Only "not there" counts as absent; any other failure to look is not a reason to overwrite the file.
bool FileExists(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return true;
    }
    const DWORD error = ::GetLastError();
    if (IsNotFoundError(error)) {
        return false;
    }
    throw std::filesystem::filesystem_error("exists", std::filesystem::path(path),
                                            std::error_code(static_cast<int>(error), std::system_category()));
}

bool EqualsIgnoringAsciiCase(std::wstring_view left, std::wstring_view right)
{
    const auto lower = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; };
    return left.size() == right.size() &&
           std::equal(left.begin(), left.end(), right.begin(), [&](wchar_t a, wchar_t b) { return lower(a) == lower(b); });
}

bool IsHexDigit(wchar_t c)
{
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

// Only the exact form GetTempFileNameW gives our names. Letter case is ignored as the file system
// ignores it; everything else must match, since this decides what gets deleted.
bool IsStagingName(std::wstring_view name)
{
    const std::wstring_view prefix = TempFilePrefix;
    if (name.size() <= prefix.size() + StagingExtension.size() ||
        name.size() > prefix.size() + MaxStagingDigits + StagingExtension.size()) {
        return false;
    }
    const std::wstring_view digits =
        name.substr(prefix.size(), name.size() - prefix.size() - StagingExtension.size());
    return EqualsIgnoringAsciiCase(name.substr(0, prefix.size()), prefix) &&
           EqualsIgnoringAsciiCase(name.substr(name.size() - StagingExtension.size()), StagingExtension) &&
           std::all_of(digits.begin(), digits.end(), IsHexDigit);
}

// A start that is killed between reserving its staging name and the replace step leaves a file as
// large as the payload behind, and every such kill would add one. Our caller holds the single-instance
// guard, so no start of this session is using any staging file here. The names are filtered here
// rather than by a "CVN*.tmp" pattern, which Windows also matches against 8.3 short names. Best
// effort: a file that another process holds open stays, and the start goes on.
void RemoveLeftoverStagingFiles(const std::wstring& payloadDirectory)
{
    WIN32_FIND_DATAW entry{};
    FindHandleOwner search(::FindFirstFileExW(JoinPath(payloadDirectory, L"*").c_str(), FindExInfoBasic, &entry,
                                              FindExSearchNameMatch, nullptr, 0));
    if (!search.IsHeld()) {
        return;
    }
    std::vector<std::wstring> leftovers;
    do {
        // Never a directory, and never through a link to somewhere else.
        if ((entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
            IsStagingName(entry.cFileName)) {
            leftovers.push_back(JoinPath(payloadDirectory, entry.cFileName));
        }
    } while (::FindNextFileW(search.Get(), &entry));
    search.Reset();
    for (const std::wstring& leftover : leftovers) {
        ::DeleteFileW(leftover.c_str());
    }
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

    const DWORD attributes = ::GetFileAttributesW(appPath.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        throw Error{L"轻量版文件位置不可用。"};
    }
    // On every start, not only before an extraction: a leftover that was held open last time would
    // otherwise stay for good once a valid copy is in place.
    RemoveLeftoverStagingFiles(payloadDirectory);

    // The digest, not the size or the time stamp, decides whether an earlier copy can be trusted.
    if (FileExists(appPath) && IsExpectedDigest(ComputeFileDigest(appPath, L"SHA256"))) {
        return appPath;
    }
    ExtractTo(appPath, payloadDirectory);
    return appPath;
}

}
