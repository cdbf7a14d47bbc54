#include "common/WineFiles.h"
#include "storage/DataRoot.h"

#include <gtest/gtest.h>
#include <initguid.h>
#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

#include <string>

namespace {

using LiteTest::EnvironmentOverride;
using LiteTest::ScratchDirectory;

std::wstring LocalAppData()
{
    PWSTR folder = nullptr;
    EXPECT_TRUE(SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder)));
    std::wstring path = folder;
    ::CoTaskMemFree(folder);
    return path;
}

// Runs with the current directory in a scratch directory, so relative overrides resolve somewhere known.
class DataRootTest : public testing::Test {
protected:
    void SetUp() override
    {
        previousDirectory_.resize(32768);
        previousDirectory_.resize(::GetCurrentDirectoryW(32768, previousDirectory_.data()));
        ASSERT_TRUE(::SetCurrentDirectoryW(scratch_.Path().c_str()));
    }
    void TearDown() override { ::SetCurrentDirectoryW(previousDirectory_.c_str()); }

    ScratchDirectory scratch_;
    std::wstring previousDirectory_;
};

TEST_F(DataRootTest, WithoutOverrideTheRootIsCorvaneLiteInTheLocalApplicationDataFolder)
{
    const std::wstring expected = LocalAppData() + L"\\Corvane\\Lite";
    {
        EnvironmentOverride unset(L"CORVANE_TEST_DATA_ROOT", nullptr);
        EXPECT_EQ(Lite::ResolveDataRoot(), expected);
    }
    {
        EnvironmentOverride empty(L"CORVANE_TEST_DATA_ROOT", L"");
        EXPECT_EQ(Lite::ResolveDataRoot(), expected);
    }
}

TEST_F(DataRootTest, OverrideBecomesAnAbsoluteBackslashPathWithLiteCacheAdded)
{
    const std::wstring here = scratch_.Path();
    struct Case {
        std::wstring value;
        std::wstring expected;
    };
    const Case cases[] = {
        {L"relative", here + L"\\relative\\lite-cache"},
        {L"relative\\two\\..\\one", here + L"\\relative\\one\\lite-cache"},
        {L".\\dot", here + L"\\dot\\lite-cache"},
        {L"forward/slashes/", here + L"\\forward\\slashes\\lite-cache"},
        {here + L"\\trailing\\", here + L"\\trailing\\lite-cache"},
        {L"C:\\absolute", L"C:\\absolute\\lite-cache"},
        {L"C:/already/absolute/with/slashes", L"C:\\already\\absolute\\with\\slashes\\lite-cache"},
        {L"C:\\absolute\\.\\x\\..\\y", L"C:\\absolute\\y\\lite-cache"},
        {L"C:\\", L"C:\\lite-cache"},
    };
    for (const Case& c : cases) {
        EnvironmentOverride root(L"CORVANE_TEST_DATA_ROOT", c.value.c_str());
        EXPECT_EQ(Lite::ResolveDataRoot(), c.expected) << "override " << testing::PrintToString(c.value);
    }
}

TEST_F(DataRootTest, OverrideNeedNotExistAndIsNotCreated)
{
    const std::wstring missing = scratch_ / L"not\\there";
    EnvironmentOverride root(L"CORVANE_TEST_DATA_ROOT", missing.c_str());
    EXPECT_EQ(Lite::ResolveDataRoot(), missing + L"\\lite-cache");
    EXPECT_FALSE(LiteTest::Exists(scratch_ / L"not"));
}

TEST_F(DataRootTest, EveryCallReadsTheEnvironmentAfresh)
{
    EnvironmentOverride first(L"CORVANE_TEST_DATA_ROOT", L"C:\\first");
    EXPECT_EQ(Lite::ResolveDataRoot(), L"C:\\first\\lite-cache");
    EnvironmentOverride second(L"CORVANE_TEST_DATA_ROOT", L"C:\\second");
    EXPECT_EQ(Lite::ResolveDataRoot(), L"C:\\second\\lite-cache");
}

TEST(ReadEnvironmentVariable, ReturnsTheLiveValueOrEmpty)
{
    const std::wstring longValue(5000, L'x');
    struct Case {
        const wchar_t* value;  // nullptr: unset
        std::wstring expected;
    };
    const Case cases[] = {
        {nullptr, L""},
        {L"", L""},
        {L"v", L"v"},
        {L"  spaced \"quoted\"  ", L"  spaced \"quoted\"  "},
        {L"中文 路径", L"中文 路径"},
        {longValue.c_str(), longValue},
    };
    for (const Case& c : cases) {
        EnvironmentOverride variable(L"LITE_TEST_VARIABLE", c.value);
        EXPECT_EQ(Lite::ReadEnvironmentVariable(L"LITE_TEST_VARIABLE"), c.expected);
    }
}

TEST(JoinPath, PutsOneBackslashBetweenPartsUnlessTheLeftPartEndsTheJob)
{
    struct Case {
        const wchar_t* left;
        const wchar_t* right;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {L"C:\\a", L"b", L"C:\\a\\b"},
        {L"C:\\a\\", L"b", L"C:\\a\\b"},
        {L"C:\\a/", L"b", L"C:\\a/b"},
        {L"C:", L"b", L"C:b"},
        {L"z:", L"b", L"z:b"},
        {L"C:\\", L"b", L"C:\\b"},
        {L"", L"b", L"b"},
        {L"\\\\server\\share", L"b", L"\\\\server\\share\\b"},
        {L"1:", L"b", L"1:\\b"},
        {L"ab:", L"b", L"ab:\\b"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Lite::JoinPath(c.left, c.right), c.expected) << testing::PrintToString(std::wstring(c.left));
    }
}

}
