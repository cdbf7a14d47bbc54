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

#if defined(__MINGW32__)

// MinGW's delay-load helper, wrapped at link time (-Wl,--wrap=__delayLoadHelper2, set where the delay-import
// libraries are linked). The real one loads the DLL, finds the function and writes it into the import slot.
// The delay-import libraries put those slots in .idata, which newer linkers (binutils 2.44 on) make
// read-only, as Windows and Wine then enforce: the helper's write would fault on the first call. So the
// slot's page is made writable for exactly that write and given its old protection back, and stays
// read-only for the rest of the process wherever the linker made it so.
//
// Both threads call into delay-loaded DLLs (the dialogs on one, the download and the checks on the other),
// and slots of different DLLs share pages: without the lock one thread could give a page its read-only
// protection back between the other's unprotect and its write. Under the lock the real helper only loads
// a DLL that RequireDelayLoadedDll already loaded and looks a function up, so nothing it does waits for
// this thread. A slot is an aligned pointer written in one store, so a thread reading it at the same time
// sees either the stub (and comes here, where the real helper writes the same function again) or the
// function.
extern "C" FARPROC WINAPI __real___delayLoadHelper2(const void* descriptor, FARPROC* slot);

extern "C" FARPROC WINAPI __wrap___delayLoadHelper2(const void* descriptor, FARPROC* slot)
{
    static SRWLOCK lock = SRWLOCK_INIT;
    ::AcquireSRWLockExclusive(&lock);
    DWORD oldProtection = 0;
    const bool unprotected = ::VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &oldProtection) != FALSE;
    const FARPROC function = __real___delayLoadHelper2(descriptor, slot);
    if (unprotected) {
        DWORD ignored = 0;
        ::VirtualProtect(slot, sizeof *slot, oldProtection, &ignored);
    }
    ::ReleaseSRWLockExclusive(&lock);
    return function;
}

#endif
