// Stands in for a DLL that someone dropped beside the bootstrapper, named after a system DLL. It exports
// nothing. When a process maps it, it leaves "<its own path>.loaded" holding the path of that process's
// exe, so a test sees whether, and by whom, a planted file was loaded; then it refuses to initialise, so
// the process stops there instead of calling into a DLL that has none of the functions it wants.
#include <windows.h>

#include <string>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH) {
        return TRUE;
    }
    wchar_t own[MAX_PATH] = {};
    wchar_t loader[MAX_PATH] = {};
    const DWORD ownLength = ::GetModuleFileNameW(instance, own, MAX_PATH);
    const DWORD loaderLength = ::GetModuleFileNameW(nullptr, loader, MAX_PATH);
    if (ownLength == 0 || ownLength >= MAX_PATH) {
        return TRUE;
    }
    const std::wstring marker = std::wstring(own, ownLength) + L".loaded";
    HANDLE file = ::CreateFileW(marker.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        const std::wstring line = std::wstring(loader, loaderLength) + L"\n";
        DWORD written = 0;
        ::WriteFile(file, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
        ::CloseHandle(file);
    }
    return FALSE;
}
