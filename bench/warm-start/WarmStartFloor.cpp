// The floor of a warm start: the smallest program that does what no per-user bootstrapper can avoid, as a
// whole process of its own, so the warm-start bench can set the shipped exe against it: the user's local
// application data folder asked of the shell (where a per-user cache lives; it loads the shell and, with it,
// user32 and COM's libraries), one SHA-256 pass over the cached app through CNG, one probe run of the app
// awaited, and the start of the app. Its command line is the cached app's path. No C++ library, no
// manifest, no checks: nothing it could do without.
//
// Built a second time with CORVANE_FLOOR_BARE it leaves out the folder lookup. The bench shows that one for
// reading: what the shell's libraries cost a process that loads them.
#include <windows.h>
#include <bcrypt.h>
#ifndef CORVANE_FLOOR_BARE
#include <initguid.h>
#include <knownfolders.h>
#include <shlobj.h>
#endif

namespace {

void HashOnce(const wchar_t* path)
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    ::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    ::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0);
    HANDLE file = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                                nullptr);
    static UCHAR buffer[64 * 1024];
    DWORD read = 0;
    while (::ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read != 0) {
        ::BCryptHashData(hash, buffer, read, 0);
    }
    UCHAR digest[32];
    ::BCryptFinishHash(hash, digest, sizeof(digest), 0);
    ::CloseHandle(file);
    ::BCryptDestroyHash(hash);
    ::BCryptCloseAlgorithmProvider(algorithm, 0);
}

HANDLE StartApp(const wchar_t* app, const wchar_t* directory, const wchar_t* arguments, DWORD flags)
{
    wchar_t commandLine[2 * MAX_PATH] = L"\"";
    ::lstrcatW(commandLine, app);
    ::lstrcatW(commandLine, L"\"");
    ::lstrcatW(commandLine, arguments);
    STARTUPINFOW startupInfo{};
    startupInfo.cb = sizeof(startupInfo);
    PROCESS_INFORMATION processInfo{};
    if (!::CreateProcessW(app, commandLine, nullptr, nullptr, FALSE, flags, nullptr, directory, &startupInfo,
                          &processInfo)) {
        return nullptr;
    }
    ::CloseHandle(processInfo.hThread);
    return processInfo.hProcess;
}

}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR app, int)
{
#ifndef CORVANE_FLOOR_BARE
    PWSTR localAppData = nullptr;
    ::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &localAppData);
    ::CoTaskMemFree(localAppData);
#endif
    wchar_t directory[MAX_PATH] = {};
    ::lstrcpynW(directory, app, MAX_PATH);
    for (wchar_t* last = directory + ::lstrlenW(directory); last > directory && *last != L'\\'; --last) {
        *last = L'\0';
    }
    HashOnce(app);
    HANDLE probe = StartApp(app, directory, L" --corvane-runtime-probe", CREATE_NO_WINDOW);
    if (probe == nullptr) {
        return 1;
    }
    ::WaitForSingleObject(probe, 10000);
    ::CloseHandle(probe);
    HANDLE started = StartApp(app, directory, L"", 0);
    if (started == nullptr) {
        return 1;
    }
    ::CloseHandle(started);
    return 0;
}
