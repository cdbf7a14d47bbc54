#include "bootstrap/DelayLoad.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

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

}
