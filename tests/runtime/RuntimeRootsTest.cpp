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

TEST_F(RuntimeRootSources, FourSourcesInOrder)
{
    ::SetEnvironmentVariableW(L"DOTNET_ROOT_X64", L"D:\\x64");
    ::SetEnvironmentVariableW(L"DOTNET_ROOT", L"E:\\any");
    RuntimeTest::SetInstallLocation(L"F:\\registered\\dotnet");
    EXPECT_EQ(Lite::FindRuntimeRoots(),
              (Roots{L"D:\\x64", L"E:\\any", L"F:\\registered\\dotnet", ProgramsFolderCandidate()}));
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
    RuntimeTest::SetInstallLocation(ProgramsFolderCandidate() + L"\\");
    EXPECT_EQ(Lite::FindRuntimeRoots(), (Roots{ProgramsFolderCandidate() + L"\\", ProgramsFolderCandidate()}));
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

    RuntimeTest::RemoveInstallLocation();
    RuntimeTest::SetInstallLocation(L"F:\\wow\\dotnet", KEY_WOW64_32KEY);
    EXPECT_EQ(Lite::FindRuntimeRoots(), Roots{ProgramsFolderCandidate()}) << "value only in the 32-bit view";
}

}
