#include "ReleaseConstants.h"
#include "bootstrap/BuildConfig.h"
#include "bootstrap/Error.h"
#include "common/TestText.h"
#include "common/WineFiles.h"
#include "payload/PayloadCache.h"
#include "storage/Directories.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace {

using LiteTest::EnvironmentOverride;
using LiteTest::ScratchDirectory;

// This program carries the demo app as its payload, so the cached copy must equal that file.
std::string DemoApp()
{
    return LiteTest::ReadBytes(LiteTest::ToolPath(L"Corvane.App.exe"));
}

TEST(EnsurePayload, ReturnsTheBackslashPathOfAByteExactCopyBelowTheOverride)
{
    ScratchDirectory scratch;
    const std::wstring root = scratch / L"data";
    std::wstring slashed = root;
    for (wchar_t& c : slashed) {
        if (c == L'\\') {
            c = L'/';
        }
    }
    EnvironmentOverride override(L"CORVANE_TEST_DATA_ROOT", slashed.c_str());
    const std::wstring expected =
        root + L"\\lite-cache\\" + LiteTest::Version + L"\\" + std::wstring(Lite::Build::PayloadSha256.substr(0, 16)) + L"\\Corvane.App.exe";

    EXPECT_EQ(Lite::EnsurePayload(), expected);
    EXPECT_EQ(LiteTest::ReadBytes(expected), DemoApp());
    EXPECT_EQ(Lite::EnsurePayload(), expected);
    EXPECT_EQ(LiteTest::ListNames(scratch / (std::wstring(L"data\\lite-cache\\") + LiteTest::Version)),
              std::vector<std::wstring>{std::wstring(Lite::Build::PayloadSha256.substr(0, 16))});
}

TEST(EnsurePayload, AnUnusableChainAboveTheCacheStopsBeforeAnythingIsWritten)
{
    ScratchDirectory scratch;
    LiteTest::WriteBytes(scratch / L"lite-cache", "");
    EnvironmentOverride override(L"CORVANE_TEST_DATA_ROOT", scratch.Path().c_str());
    try {
        Lite::EnsurePayload();
        FAIL() << "expected an Error";
    } catch (const Lite::Error& error) {
        EXPECT_EQ(error.message, L"轻量版工作目录不可用，请选择普通本地文件夹。");
    }
    EXPECT_EQ(LiteTest::ReadBytes(scratch / L"lite-cache"), "");
}

constexpr unsigned long long Hour = 60 * 60;
constexpr unsigned long long Day = 24 * Hour;

TEST(EnsurePayload, RemovesOnlyOldStagingFilesOfItsOwnNameFormAndStartsAnyway)
{
    ScratchDirectory scratch;
    EnvironmentOverride override(L"CORVANE_TEST_DATA_ROOT", scratch.Path().c_str());
    const std::wstring cache = scratch / L"lite-cache";
    const std::wstring payloadDirectory =
        cache + L"\\" + LiteTest::Version + L"\\" + std::wstring(Lite::Build::PayloadSha256.substr(0, 16));
    const std::wstring downloads = cache + L"\\downloads";
    ASSERT_TRUE(::CreateDirectoryW(cache.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((cache + L"\\" + LiteTest::Version).c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(payloadDirectory.c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(downloads.c_str(), nullptr));
    const auto place = [&](const std::wstring& path, const std::string& bytes, unsigned long long age) {
        LiteTest::WriteBytes(path, bytes);
        LiteTest::SetLastWriteAge(path, age);
    };

    // What GetTempFileNameW makes from "CVN": one to four hex digits (upper case on Windows, lower
    // case under Wine) and ".tmp"; the file system ignores letter case. Left a day and more ago.
    const std::vector<std::pair<std::wstring, unsigned long long>> leftovers = {
        {L"CVN1.tmp", Day + Hour}, {L"CVNBEEF.tmp", 30 * Day}, {L"CVNa0f.tmp", 2 * Day}, {L"cvn2.TMP", 400 * Day}};
    // Near misses, some of which a "CVN*.tmp" pattern would match through their 8.3 short names.
    const std::vector<std::wstring> others = {
        L"CVN.tmp",  L"CVN12345.tmp", L"CVNxyz.tmp",  L"CVN1.tmp.exe", L"CVN1.tmpx", L"CVN1 .tmp",
        L"XCVN1.tmp", L"CVN1.tm",     L"CVN1.tmp.tmp", L"Corvane.App.exe.tmp"};
    for (const auto& [name, age] : leftovers) {
        place(payloadDirectory + L"\\" + name, "killed start", age);
    }
    for (const auto& name : others) {
        place(payloadDirectory + L"\\" + name, "not ours", 30 * Day);
    }
    // A directory and a directory link of the staging form, and the download directory's own
    // leftovers, all stay.
    ASSERT_TRUE(::CreateDirectoryW((payloadDirectory + L"\\CVN3.tmp").c_str(), nullptr));
    LiteTest::WriteBytes(payloadDirectory + L"\\CVN3.tmp\\inside", "kept");
    ASSERT_TRUE(::CreateDirectoryW((scratch / L"elsewhere").c_str(), nullptr));
    LiteTest::WriteBytes(scratch / L"elsewhere\\CVN9.tmp", "kept");
    LiteTest::MakeDirectoryLink(payloadDirectory + L"\\CVN4.tmp", scratch / L"elsewhere");
    place(downloads + L"\\CVN6.tmp", "download leftover", 30 * Day);
    place(downloads + L"\\CVN7.tmp.exe", "download leftover", 30 * Day);
    // Held open for writing by another process, so it cannot be deleted.
    const std::wstring held = payloadDirectory + L"\\CVN5.tmp";
    place(held, "held", 30 * Day);
    LiteTest::FileHolder holder(held, LiteTest::FileHolder::Sharing::None);

    // Staging files that a start of another logon session may still be using while it holds no handle
    // on them: copies written just now, shortly or some hours ago, and a name it has just reserved.
    const std::vector<std::pair<std::wstring, unsigned long long>> inUse = {
        {L"CVNC0DE.tmp", 0}, {L"CVNF00.tmp", Hour}, {L"cvnd1.tmp", Day - Hour}};
    for (const auto& [name, age] : inUse) {
        place(payloadDirectory + L"\\" + name, "another session's copy", age);
    }
    const std::wstring reserved = Lite::MakeTempFilePath(payloadDirectory);
    const std::wstring reservedName = reserved.substr(payloadDirectory.size() + 1);

    const std::wstring appPath = payloadDirectory + L"\\Corvane.App.exe";
    EXPECT_EQ(Lite::EnsurePayload(), appPath);
    EXPECT_EQ(LiteTest::ReadBytes(appPath), DemoApp());

    std::vector<std::wstring> expected = others;
    expected.insert(expected.end(), {L"CVN3.tmp", L"CVN4.tmp", L"CVN5.tmp", L"Corvane.App.exe", reservedName});
    for (const auto& entry : inUse) {
        expected.push_back(entry.first);
    }
    std::sort(expected.begin(), expected.end());
    std::vector<std::wstring> left = LiteTest::ListNames(payloadDirectory);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, expected);
    for (const auto& name : others) {
        EXPECT_EQ(LiteTest::ReadBytes(payloadDirectory + L"\\" + name), "not ours") << LiteTest::Utf8(name);
    }
    for (const auto& entry : inUse) {
        EXPECT_EQ(LiteTest::ReadBytes(payloadDirectory + L"\\" + entry.first), "another session's copy");
    }
    EXPECT_EQ(LiteTest::ReadBytes(reserved), "");
    EXPECT_EQ(LiteTest::ReadBytes(payloadDirectory + L"\\CVN3.tmp\\inside"), "kept");
    EXPECT_EQ(LiteTest::ReadBytes(scratch / L"elsewhere\\CVN9.tmp"), "kept");
    EXPECT_EQ(LiteTest::ListNames(downloads), (std::vector<std::wstring>{L"CVN6.tmp", L"CVN7.tmp.exe"}));

    // Once nobody holds it, the next start removes it, although that start only reuses its copy; and a
    // file of another session that has since grown old goes as well.
    holder.Release();
    LiteTest::SetLastWriteAge(payloadDirectory + L"\\cvnd1.tmp", Day + Hour);
    EXPECT_EQ(Lite::EnsurePayload(), appPath);
    EXPECT_FALSE(LiteTest::Exists(held));
    EXPECT_FALSE(LiteTest::Exists(payloadDirectory + L"\\cvnd1.tmp"));
    EXPECT_TRUE(LiteTest::Exists(payloadDirectory + L"\\CVNF00.tmp"));
    EXPECT_TRUE(LiteTest::Exists(reserved));
    EXPECT_EQ(LiteTest::ReadBytes(appPath), DemoApp());
}

}
