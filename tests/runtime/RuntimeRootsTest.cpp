#include "runtime/RuntimeRoots.h"

#include "RuntimeTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using RuntimeTest::ProgramsFolderCandidate;
using Roots = std::vector<std::wstring>;

struct CandidateCase {
    const char* name;
    std::vector<std::wstring> offered;
    Roots expected;
};

class CandidateList : public testing::TestWithParam<CandidateCase> {};

TEST_P(CandidateList, KeepsAbsoluteDistinctPathsInOrder)
{
    Roots list;
    for (const std::wstring& candidate : GetParam().offered) {
        Lite::AddRuntimeRootCandidate(list, candidate);
    }
    EXPECT_EQ(list, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Candidates, CandidateList,
    testing::Values(
        CandidateCase{"SlashAndBackslashAreOneEntryInTheFirstForm", {L"D:\\rt", L"D:/rt"}, {L"D:\\rt"}},
        CandidateCase{"DoubledSeparatorAfterDriveMatches", {L"D:\\rt", L"D:\\\\rt"}, {L"D:\\rt"}},
        CandidateCase{"SeparatorRunsMatchInside", {L"D:\\a\\\\b//c", L"D:/a/b\\/c"}, {L"D:\\a\\\\b//c"}},
        CandidateCase{"TrailingSeparatorDiffers", {L"D:\\rt", L"D:\\rt\\"}, {L"D:\\rt", L"D:\\rt\\"}},
        CandidateCase{"LetterCaseOfDriveDiffers", {L"d:\\rt", L"D:\\rt"}, {L"d:\\rt", L"D:\\rt"}},
        CandidateCase{"LetterCaseOfNameDiffers", {L"D:\\RT", L"D:\\rt"}, {L"D:\\RT", L"D:\\rt"}},
        CandidateCase{"EmptyIgnored", {L"", L"D:\\rt"}, {L"D:\\rt"}},
        CandidateCase{"RelativeIgnored", {L"rt", L".\\rt", L"..\\rt"}, {}},
        CandidateCase{"DriveRelativeAndBareDriveIgnored", {L"D:rt", L"D:"}, {}},
        CandidateCase{"RootRelativeIgnored", {L"\\rt", L"/rt"}, {}},
        CandidateCase{"UncKept", {L"\\\\server\\share\\dotnet"}, {L"\\\\server\\share\\dotnet"}},
        CandidateCase{"UncServerNameMustMatchExactly", {L"\\\\server\\share", L"//server\\share"},
                      {L"\\\\server\\share", L"//server\\share"}},
        CandidateCase{"DevicePrefixesKept", {L"\\\\?\\D:\\rt", L"\\\\.\\D:\\rt", L"\\??\\D:\\rt"},
                      {L"\\\\?\\D:\\rt", L"\\\\.\\D:\\rt", L"\\??\\D:\\rt"}},
        CandidateCase{"StoredExactlyAsGiven", {L"D:\\a\\..\\rt\\."}, {L"D:\\a\\..\\rt\\."}},
        CandidateCase{"ThirdDuplicateOfFirstDropped", {L"D:\\rt", L"E:\\rt", L"D:/rt"}, {L"D:\\rt", L"E:\\rt"}}),
    [](const testing::TestParamInfo<CandidateCase>& info) { return std::string(info.param.name); });

// Sources are read from the live environment, the real registry of the test prefix and the real known
// folder, in that order.
class RuntimeRootSources : public RuntimeTest::RuntimeFixture {};

TEST_F(RuntimeRootSources, NothingConfiguredLeavesOnlyTheProgramsFolder)
{
    EXPECT_EQ(Lite::FindRuntimeRoots(), Roots{ProgramsFolderCandidate()});
}

TEST_F(RuntimeRootSources, SourcesInOrderWithTheInstallersRegistryViewFirst)
{
    ::SetEnvironmentVariableW(L"DOTNET_ROOT_X64", L"D:\\x64");
    ::SetEnvironmentVariableW(L"DOTNET_ROOT", L"E:\\any");
    // Written as Microsoft's runtime installer writes it: the 32-bit view, with a trailing backslash.
    RuntimeTest::SetInstallLocation(L"F:\\installed\\dotnet\\", KEY_WOW64_32KEY);
    RuntimeTest::SetInstallLocation(L"G:\\by hand\\dotnet");
    EXPECT_EQ(Lite::FindRuntimeRoots(), (Roots{L"D:\\x64", L"E:\\any", L"F:\\installed\\dotnet\\",
                                               L"G:\\by hand\\dotnet", ProgramsFolderCandidate()}));
}

TEST_F(RuntimeRootSources, EitherRegistryViewAloneIsEnough)
{
    RuntimeTest::SetInstallLocation(L"F:\\installed\\dotnet\\", KEY_WOW64_32KEY);
    EXPECT_EQ(Lite::FindRuntimeRoots(), (Roots{L"F:\\installed\\dotnet\\", ProgramsFolderCandidate()}))
        << "32-bit view only";
    RuntimeTest::RemoveInstallLocation();
    RuntimeTest::SetInstallLocation(L"G:\\by hand\\dotnet");
    EXPECT_EQ(Lite::FindRuntimeRoots(), (Roots{L"G:\\by hand\\dotnet", ProgramsFolderCandidate()}))
        << "64-bit view only";
}

TEST_F(RuntimeRootSources, TheSameLocationInBothViewsIsListedOnceInTheFirstForm)
{
    RuntimeTest::SetInstallLocation(L"F:\\installed\\dotnet\\", KEY_WOW64_32KEY);
    RuntimeTest::SetInstallLocation(L"F:/installed//dotnet/");
    EXPECT_EQ(Lite::FindRuntimeRoots(), (Roots{L"F:\\installed\\dotnet\\", ProgramsFolderCandidate()}));
    // Without the installer's trailing backslash it is another entry, as everywhere in the list.
    RuntimeTest::SetInstallLocation(L"F:\\installed\\dotnet");
    EXPECT_EQ(Lite::FindRuntimeRoots(),
              (Roots{L"F:\\installed\\dotnet\\", L"F:\\installed\\dotnet", ProgramsFolderCandidate()}));
}

TEST_F(RuntimeRootSources, VariablesAreReadAfreshOnEveryCall)
{
    ::SetEnvironmentVariableW(L"DOTNET_ROOT", L"D:\\first");
    EXPECT_EQ(Lite::FindRuntimeRoots().front(), L"D:\\first");
    ::SetEnvironmentVariableW(L"DOTNET_ROOT", L"D:\\second");
    EXPECT_EQ(Lite::FindRuntimeRoots().front(), L"D:\\second");
}

TEST_F(RuntimeRootSources, EmptyVariableContributesNothing)
{
    ::SetEnvironmentVariableW(L"DOTNET_ROOT_X64", L"");
    ::SetEnvironmentVariableW(L"DOTNET_ROOT", L"D:\\rt");
    EXPECT_EQ(Lite::FindRuntimeRoots(), (Roots{L"D:\\rt", ProgramsFolderCandidate()}));
}

TEST_F(RuntimeRootSources, RegistryValueWithTrailingSeparatorIsASecondEntry)
{
    // What the installer writes for the default location; in either view.
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        RuntimeTest::RemoveInstallLocation();
        RuntimeTest::SetInstallLocation(ProgramsFolderCandidate() + L"\\", view);
        EXPECT_EQ(Lite::FindRuntimeRoots(), (Roots{ProgramsFolderCandidate() + L"\\", ProgramsFolderCandidate()}))
            << (view == KEY_WOW64_32KEY ? "32-bit view" : "64-bit view");
    }
}

TEST_F(RuntimeRootSources, VariableEqualToTheProgramsFolderIsListedOnce)
{
    const std::wstring programs = ProgramsFolderCandidate();
    std::wstring slashed = programs;
    for (wchar_t& c : slashed) {
        c = c == L'\\' ? L'/' : c;
    }
    ::SetEnvironmentVariableW(L"DOTNET_ROOT", slashed.c_str());
    EXPECT_EQ(Lite::FindRuntimeRoots(), Roots{slashed});
}

TEST_F(RuntimeRootSources, UnusableRegistryValuesContributeNothing)
{
    const DWORD number = 5;
    RuntimeTest::SetInstallLocation(REG_DWORD, &number, sizeof(number));
    EXPECT_EQ(Lite::FindRuntimeRoots(), Roots{ProgramsFolderCandidate()}) << "DWORD value";

    // 32,767 units plus the NUL fill the buffer exactly; one more does not fit.
    const std::wstring fits = L"F:\\" + std::wstring(32764, L'a');
    RuntimeTest::SetInstallLocation(fits);
    EXPECT_EQ(Lite::FindRuntimeRoots(), (Roots{fits, ProgramsFolderCandidate()})) << "longest that fits";
    RuntimeTest::SetInstallLocation(fits + L"a");
    EXPECT_EQ(Lite::FindRuntimeRoots(), Roots{ProgramsFolderCandidate()}) << "one unit too long";

    RuntimeTest::SetInstallLocation(L"registered\\dotnet");
    EXPECT_EQ(Lite::FindRuntimeRoots(), Roots{ProgramsFolderCandidate()}) << "relative value";

    // The same rules in the 32-bit view; an unusable value there does not hide a good one in the other view.
    RuntimeTest::RemoveInstallLocation();
    RuntimeTest::SetInstallLocation(REG_DWORD, &number, sizeof(number), KEY_WOW64_32KEY);
    EXPECT_EQ(Lite::FindRuntimeRoots(), Roots{ProgramsFolderCandidate()}) << "DWORD value, 32-bit view";
    RuntimeTest::SetInstallLocation(fits + L"a", KEY_WOW64_32KEY);
    EXPECT_EQ(Lite::FindRuntimeRoots(), Roots{ProgramsFolderCandidate()}) << "one unit too long, 32-bit view";
    RuntimeTest::SetInstallLocation(L"registered\\dotnet", KEY_WOW64_32KEY);
    RuntimeTest::SetInstallLocation(L"G:\\by hand\\dotnet");
    EXPECT_EQ(Lite::FindRuntimeRoots(), (Roots{L"G:\\by hand\\dotnet", ProgramsFolderCandidate()}))
        << "relative value in the 32-bit view, a good one in the 64-bit view";
}

}
