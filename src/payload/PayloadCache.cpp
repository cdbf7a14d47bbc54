#include "payload/PayloadCache.h"

#include "bootstrap/BuildConfig.h"
#include "bootstrap/Error.h"
#include "bootstrap/ScopedOwner.h"
#include "integrity/FileDigest.h"
#include "storage/DataRoot.h"
#include "storage/Directories.h"
#include "storage/PathRules.h"

#include <windows.h>

#include <vector>

namespace Lite {

namespace {

constexpr WORD PayloadResourceId = 201;
constexpr std::size_t Sha256TextLength = 64;
// A staging file is written right after its name is reserved and replaced right after one hash pass
// over it, all within one start, which takes seconds. Its last-write time is therefore at most that
// far behind while any start can still use it, even a start of another logon session that holds no
// handle on it at the moment. A day is far beyond any extraction, even on a loaded or slow machine;
// only a start stopped midway for longer (a process suspended, a machine asleep) could lose its file,
// and it then ends with its own message instead of writing anything wrong.
constexpr ULONGLONG StagingLeftoverAge = 24ULL * 60 * 60 * 10'000'000;  // in FILETIME units of 100 ns

using FindHandleOwner = ScopedOwner<HANDLE, &::FindClose, &IsUsableHandle>;

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

ULONGLONG FileTimeValue(const FILETIME& time)
{
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Last written more than StagingLeftoverAge ago. A time in the future (a clock set back since) counts
// as fresh: keeping a file is always the safe side.
bool IsOldEnoughToBeLeftOver(const FILETIME& lastWrite, ULONGLONG now)
{
    const ULONGLONG written = FileTimeValue(lastWrite);
    return written < now && now - written > StagingLeftoverAge;
}

// A start that is killed between reserving its staging name and the replace step leaves a file as
// large as the payload behind, and every such kill would add one. Our caller holds the single-instance
// guard, but that covers one logon session only: a start of the same user in another session may be
// using a staging file here between its own steps, holding no handle on it. So only files last
// written long before any extraction could still be in progress go. The names are filtered here
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
    FILETIME nowTime{};
    ::GetSystemTimeAsFileTime(&nowTime);
    const ULONGLONG now = FileTimeValue(nowTime);
    std::vector<std::wstring> leftovers;
    do {
        // Never a directory, and never through a link to somewhere else.
        if (IsPlainFileAttributes(entry.dwFileAttributes) && IsTempFileName(entry.cFileName) &&
            IsOldEnoughToBeLeftOver(entry.ftLastWriteTime, now)) {
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

    if (IsDirectoryOrLinkAttributes(::GetFileAttributesW(appPath.c_str()))) {
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
