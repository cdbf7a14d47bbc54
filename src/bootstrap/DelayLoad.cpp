#include "bootstrap/DelayLoad.h"

#include <windows.h>

#include <stdexcept>
#include <system_error>

namespace Lite {

namespace {

const DelayLoadedDll* Find(std::wstring_view name) noexcept
{
    for (const DelayLoadedDll& dll : DelayLoadedDlls) {
        if (name == dll.name) {
            return &dll;
        }
    }
    return nullptr;
}

// The error of the first thing missing, ERROR_SUCCESS when everything is there. Nothing here allocates.
DWORD FirstMissing(const DelayLoadedDll& dll) noexcept
{
    // By its name alone, as the helper loads it: the same search (System32 only once the entry point has
    // restricted it) and the same side-by-side redirection (version 6 of the common controls, which the
    // manifest asks for), so the module checked here is the one the helper then finds already loaded.
    // The reference is never given back, so the DLL cannot go away between this check and a call.
    const HMODULE module = ::LoadLibraryW(dll.name);
    if (module == nullptr) {
        const DWORD error = ::GetLastError();
        return error != ERROR_SUCCESS ? error : ERROR_MOD_NOT_FOUND;
    }
    for (const char* function : dll.functions) {
        if (::GetProcAddress(module, function) == nullptr) {
            return ERROR_PROC_NOT_FOUND;
        }
    }
    return ERROR_SUCCESS;
}

}

void RequireDelayLoadedDll(const DelayLoadedDll& dll)
{
    const DWORD error = FirstMissing(dll);
    if (error != ERROR_SUCCESS) {
        throw std::system_error(static_cast<int>(error), std::system_category(), "a delay-loaded system DLL");
    }
}

void RequireDelayLoadedDll(std::wstring_view name)
{
    const DelayLoadedDll* dll = Find(name);
    if (dll == nullptr) {
        throw std::invalid_argument("not a delay-loaded DLL of this program");
    }
    RequireDelayLoadedDll(*dll);
}

}
