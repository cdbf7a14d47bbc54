#include "bootstrap/EntryPoint.h"

#include "bootstrap/Error.h"

#include <windows.h>

namespace Lite {

namespace {

constexpr wchar_t MessageTitle[] = L"Corvane 轻量版";

using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD directoryFlags);

}

void RestrictDllSearchToSystem() noexcept
{
    // Looked up rather than imported: Windows 7 has it only with an update, and a missing import would
    // keep the exe from starting at all. kernel32 is always loaded, so looking it up loads nothing.
    const FARPROC found = ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    if (found != nullptr) {
        const auto setDefaultDllDirectories =
            reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void (*)()>(found));
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    ::SetDllDirectoryW(L"");
}

int RunAndReport(int (*body)())
{
    int exitCode = 1;
    try {
        exitCode = body();
    } catch (const Error& error) {
        ::MessageBoxW(nullptr, error.message.c_str(), MessageTitle, MB_OK | MB_ICONWARNING);
    } catch (...) {
        ::MessageBoxW(nullptr, L"轻量版未能启动，请重新尝试或使用完整版。", MessageTitle, MB_OK | MB_ICONWARNING);
    }
    return exitCode;
}

}
