#include "bootstrap/DelayLoad.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <bcrypt.h>

#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

// The import slot of a delay-loaded function, as the delay-import library names it.
extern "C" void* __imp_BCryptDestroyHash;

namespace {

std::string Narrow(const wchar_t* text)
{
    return std::string(text, text + std::wcslen(text));
}

TEST(DelayLoad, EveryDelayLoadedDllLoadsWithEveryFunctionItsListNames)
{
    // A name in a list that the platform does not export would make every road through that DLL fail
    // on every machine; the build would not notice, since only calls are linked against the lists.
    std::set<std::wstring> names;
    for (const Lite::DelayLoadedDll& dll : Lite::DelayLoadedDlls) {
        SCOPED_TRACE(Narrow(dll.name));
        names.insert(dll.name);
        EXPECT_FALSE(dll.functions.empty());
        EXPECT_NO_THROW(Lite::RequireDelayLoadedDll(dll.name));
    }
    EXPECT_EQ(names, (std::set<std::wstring>{L"bcrypt.dll", L"comctl32.dll", L"crypt32.dll", L"winhttp.dll",
                                             L"wintrust.dll"}));
}

TEST(DelayLoad, AMissingDllOrFunctionIsAnOrdinaryExceptionCarryingItsError)
{
    static constexpr const char* anything[] = {"DllMain"};
    static constexpr const char* oneMissing[] = {"BCryptOpenAlgorithmProvider", "BCryptNoSuchFunction"};
    struct Case {
        Lite::DelayLoadedDll dll;
        DWORD error;
    };
    const std::vector<Case> cases = {
        {{L"corvane-no-such-library.dll", anything}, ERROR_MOD_NOT_FOUND},
        {{L"bcrypt.dll", oneMissing}, ERROR_PROC_NOT_FOUND},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(Narrow(testCase.dll.name));
        try {
            Lite::RequireDelayLoadedDll(testCase.dll);
            ADD_FAILURE() << "expected a std::system_error";
        } catch (const std::system_error& error) {
            EXPECT_EQ(error.code().value(), static_cast<int>(testCase.error));
        }
    }
    // Only the program's own delay-loaded DLLs are known by name.
    EXPECT_THROW(Lite::RequireDelayLoadedDll(L"kernel32.dll"), std::invalid_argument);
}

TEST(DelayLoad, TheFirstCallBindsItsSlotAndLeavesTheImportSectionAsLinked)
{
    // Linkers from binutils 2.44 on make the import section read-only; older ones leave it writable. The
    // first call must work either way, and afterwards the section keeps the protection it was linked with.
    Lite::RequireDelayLoadedDll(L"bcrypt.dll");
    EXPECT_NE(::BCryptDestroyHash(nullptr), 0); // a null handle is refused, with whichever error

    void* const* slot = &__imp_BCryptDestroyHash;
    const FARPROC function = ::GetProcAddress(::GetModuleHandleW(L"bcrypt.dll"), "BCryptDestroyHash");
    EXPECT_EQ(*slot, reinterpret_cast<void*>(function));

    const auto* base = reinterpret_cast<const BYTE*>(::GetModuleHandleW(nullptr));
    const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(headers);
    const IMAGE_SECTION_HEADER* const end = section + headers->FileHeader.NumberOfSections;
    const auto offset = static_cast<DWORD>(reinterpret_cast<const BYTE*>(slot) - base);
    while (section != end &&
           (offset < section->VirtualAddress || offset >= section->VirtualAddress + section->Misc.VirtualSize)) {
        ++section;
    }
    ASSERT_NE(section, end);
    const bool linkedWritable = (section->Characteristics & IMAGE_SCN_MEM_WRITE) != 0;

    MEMORY_BASIC_INFORMATION page = {};
    ASSERT_NE(::VirtualQuery(slot, &page, sizeof page), 0u);
    const bool writable = (page.Protect & (PAGE_READWRITE | PAGE_WRITECOPY)) != 0;
    EXPECT_EQ(writable, linkedWritable) << "protection " << page.Protect;
}

}
