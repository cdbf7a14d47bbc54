#include "integrity/FileDigest.h"

#include "bootstrap/DelayLoad.h"
#include "bootstrap/Error.h"
#include "bootstrap/ScopedOwner.h"

#include <windows.h>
#include <bcrypt.h>

#include <array>
#include <vector>

namespace Lite {

namespace {

constexpr DWORD ReadChunkSize = 64 * 1024;
constexpr wchar_t HexDigits[] = L"0123456789abcdef";

// The provider and the hash made from it live and die together; the hash goes first.
struct HashHandles {
    BCRYPT_ALG_HANDLE provider;
    BCRYPT_HASH_HANDLE hash;
};

void ReleaseHashHandles(HashHandles handles) noexcept
{
    if (handles.hash != nullptr) {
        ::BCryptDestroyHash(handles.hash);
    }
    if (handles.provider != nullptr) {
        ::BCryptCloseAlgorithmProvider(handles.provider, 0);
    }
}

bool HoldsHashHandles(HashHandles handles) noexcept
{
    return handles.provider != nullptr || handles.hash != nullptr;
}

using HashHandleOwner = ScopedOwner<HashHandles, &ReleaseHashHandles, &HoldsHashHandles>;

bool Succeeded(NTSTATUS status)
{
    return status >= 0;
}

}

std::wstring ComputeFileDigest(const std::wstring& path, const wchar_t* algorithm)
{
    RequireDelayLoadedDll(L"bcrypt.dll");
    HashHandleOwner owner;
    HashHandles& handles = *owner.Put();
    DWORD digestLength = 0;
    ULONG resultSize = 0;
    if (!Succeeded(::BCryptOpenAlgorithmProvider(&handles.provider, algorithm, nullptr, 0)) ||
        !Succeeded(::BCryptGetProperty(handles.provider, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&digestLength),
                                       sizeof(digestLength), &resultSize, 0)) ||
        !Succeeded(::BCryptCreateHash(handles.provider, &handles.hash, nullptr, 0, nullptr, 0, 0))) {
        throw Error{L"无法初始化文件校验。"};
    }

    // Read sharing only: a file someone is still writing is not a finished file to vouch for.
    HandleOwner file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file.IsHeld()) {
        throw Error{L"无法读取需要校验的文件。"};
    }

    // One fixed buffer keeps a large installer at the same small footprint as the payload.
    std::array<UCHAR, ReadChunkSize> buffer{};
    for (;;) {
        DWORD bytesRead = 0;
        if (!::ReadFile(file.Get(), buffer.data(), ReadChunkSize, &bytesRead, nullptr)) {
            throw Error{L"读取文件失败。"};
        }
        if (bytesRead == 0) {
            break;
        }
        if (!Succeeded(::BCryptHashData(handles.hash, buffer.data(), bytesRead, 0))) {
            throw Error{L"文件校验失败。"};
        }
    }

    std::vector<UCHAR> digest(digestLength, 0);
    if (!Succeeded(::BCryptFinishHash(handles.hash, digest.data(), digestLength, 0))) {
        throw Error{L"文件校验失败。"};
    }

    std::wstring text;
    text.reserve(digest.size() * 2);
    for (const UCHAR byte : digest) {
        text += HexDigits[byte >> 4];
        text += HexDigits[byte & 0x0F];
    }
    return text;
}

}
