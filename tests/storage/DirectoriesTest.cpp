#include "bootstrap/Error.h"
#include "common/TestText.h"
#include "common/WineFiles.h"
#include "storage/Directories.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <regex>
#include <string>
#include <vector>

namespace {

using LiteTest::ErrorMessageOf;
using LiteTest::Exists;
using LiteTest::IsDirectory;
using LiteTest::ScratchDirectory;

const std::wstring CannotCreate = L"无法创建轻量版工作目录，请检查磁盘空间与权限。";
const std::wstring Unusable = L"轻量版工作目录不可用，请选择普通本地文件夹。";
const std::wstring NoTempFile = L"无法创建下载临时文件。";

FILETIME LastWrite(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    EXPECT_TRUE(::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data));
    return data.ftLastWriteTime;
}

bool SameTime(const FILETIME& a, const FILETIME& b)
{
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

std::wstring UnusedDrive()
{
    const DWORD used = ::GetLogicalDrives();
    for (wchar_t letter = L'Q'; letter <= L'Y'; ++letter) {
        if ((used & (1u << (letter - L'A'))) == 0) {
            return std::wstring(1, letter) + L":";
        }
    }
    return L"";
}

TEST(EnsureDirectory, CreatesEveryMissingLevel)
{
    ScratchDirectory scratch;
    for (const std::wstring& path :
         {scratch / L"a\\b\\c", scratch / L"slashes/d/e", scratch / L"trailing\\f\\", scratch / L"double\\\\g"}) {
        EXPECT_NO_THROW(Lite::EnsureDirectory(path)) << testing::PrintToString(path);
        EXPECT_TRUE(IsDirectory(path)) << testing::PrintToString(path);
    }
    EXPECT_TRUE(IsDirectory(scratch / L"a\\b"));
    EXPECT_TRUE(IsDirectory(scratch / L"double\\g"));
}

TEST(EnsureDirectory, LeavesAnExistingChainAndItsContentAlone)
{
    ScratchDirectory scratch;
    const std::wstring leaf = scratch / L"a\\b";
    Lite::EnsureDirectory(leaf);
    LiteTest::WriteBytes(leaf + L"\\keep.txt", "kept");
    const FILETIME before = LastWrite(leaf);
    ::Sleep(20);

    Lite::EnsureDirectory(leaf);
    Lite::EnsureDirectory(leaf + L"\\");

    EXPECT_TRUE(SameTime(before, LastWrite(leaf)));
    EXPECT_EQ(LiteTest::ReadBytes(leaf + L"\\keep.txt"), "kept");
    EXPECT_EQ(LiteTest::ListNames(leaf), std::vector<std::wstring>{L"keep.txt"});
}

TEST(EnsureDirectory, EmptyPathAndBareRootsDoNothing)
{
    for (const wchar_t* path : {L"", L"C:", L"C:\\", L"C:/", L"\\"}) {
        EXPECT_NO_THROW(Lite::EnsureDirectory(path)) << testing::PrintToString(std::wstring(path));
    }
}

TEST(EnsureDirectory, RefusesAChainThatIsNotMadeOfPlainDirectories)
{
    struct Case {
        const char* name;
        std::function<void(const ScratchDirectory&)> prepare;
        std::wstring below;  // the path handed in, below the scratch directory
        std::wstring message;
    };
    const Case cases[] = {
        {"file at a middle level", [](const auto& s) { LiteTest::WriteBytes(s / L"file", ""); }, L"file\\below",
         Unusable},
        {"file at the last level", [](const auto& s) { LiteTest::WriteBytes(s / L"downloads", "x"); },
         L"downloads", Unusable},
        {"file at the last level, trailing separator",
         [](const auto& s) { LiteTest::WriteBytes(s / L"downloads", "x"); }, L"downloads\\", Unusable},
        {"existing link at a middle level",
         [](const auto& s) {
             Lite::EnsureDirectory(s / L"target\\inner");
             LiteTest::MakeDirectoryLink(s / L"link", s / L"target");
         },
         L"link\\inner", Unusable},
        {"link on the way to a missing level",
         [](const auto& s) {
             Lite::EnsureDirectory(s / L"target");
             LiteTest::MakeDirectoryLink(s / L"link", s / L"target");
         },
         L"link\\new\\deeper", Unusable},
        {"link at the last level",
         [](const auto& s) {
             Lite::EnsureDirectory(s / L"target");
             LiteTest::MakeDirectoryLink(s / L"link", s / L"target");
         },
         L"link", Unusable},
    };
    for (const Case& c : cases) {
        ScratchDirectory scratch;
        c.prepare(scratch);
        const std::wstring path = scratch / c.below;
        EXPECT_EQ(ErrorMessageOf([&] { Lite::EnsureDirectory(path); }), c.message) << c.name;
    }
}

TEST(EnsureDirectory, NothingIsCreatedBelowARefusedLevel)
{
    ScratchDirectory scratch;
    Lite::EnsureDirectory(scratch / L"target");
    LiteTest::MakeDirectoryLink(scratch / L"link", scratch / L"target");
    EXPECT_EQ(ErrorMessageOf([&] { Lite::EnsureDirectory(scratch / L"link\\new"); }), Unusable);
    EXPECT_TRUE(LiteTest::ListNames(scratch / L"target").empty());
}

TEST(EnsureDirectory, DriveThatDoesNotExistFailsAtItsFirstLevel)
{
    const std::wstring drive = UnusedDrive();
    ASSERT_FALSE(drive.empty()) << "no unused drive letter between Q: and Y:";
    EXPECT_EQ(ErrorMessageOf([&] { Lite::EnsureDirectory(drive + L"\\Corvane\\Lite"); }), CannotCreate);
    EXPECT_NO_THROW(Lite::EnsureDirectory(drive + L"\\"));
}

TEST(MakeTempFilePath, ReservesAnEmptyCvnFileAfterCreatingTheDirectory)
{
    ScratchDirectory scratch;
    const std::wstring directory = scratch / L"not\\yet";

    const std::wstring first = Lite::MakeTempFilePath(directory);
    const std::wstring second = Lite::MakeTempFilePath(directory);

    const std::wregex form(std::regex_replace(directory, std::wregex(LR"([\\.^$|()\[\]{}*+?])"), L"\\$&") +
                               LR"(\\CVN[0-9A-Fa-f]{1,4}\.tmp)");
    for (const std::wstring& path : {first, second}) {
        EXPECT_TRUE(std::regex_match(path, form)) << testing::PrintToString(path);
        EXPECT_TRUE(Exists(path));
        EXPECT_EQ(LiteTest::ReadBytes(path), "");
        // The name it gave is one that the matcher beside it recognises as its own.
        EXPECT_TRUE(Lite::IsTempFileName(path.substr(directory.size() + 1)));
    }
    EXPECT_NE(first, second);
}

TEST(MakeTempFilePath, RefusesAnUnusableDirectoryWithTheDirectoryMessage)
{
    ScratchDirectory scratch;
    LiteTest::WriteBytes(scratch / L"downloads", "");
    EXPECT_EQ(ErrorMessageOf([&] { Lite::MakeTempFilePath(scratch / L"downloads"); }), Unusable);
}

// The platform call fills a MAX_PATH buffer; Wine writes past it for long directories instead of
// failing, so the length limit Windows applies has to hold here before the call.
TEST(MakeTempFilePath, DirectoriesLongerThan246CharactersAreRefusedUpFront)
{
    ScratchDirectory scratch;
    const std::wstring base = scratch.Path() + L"\\";
    auto directoryOfLength = [&](std::size_t length) {
        std::wstring path = base;
        while (path.size() < length) {
            const std::size_t room = length - path.size();
            path += std::wstring(std::min<std::size_t>(room, 100), L'd');
            if (path.size() < length - 1) {
                path += L'\\';
            }
        }
        return path;
    };

    const std::wstring fits = directoryOfLength(246);
    ASSERT_EQ(fits.size(), 246u);
    const std::wstring reserved = Lite::MakeTempFilePath(fits);
    EXPECT_LT(reserved.size(), static_cast<std::size_t>(MAX_PATH));
    EXPECT_TRUE(Exists(reserved));

    for (const std::size_t length : {247u, 251u, 258u, 300u, 400u}) {
        const std::wstring tooLong = directoryOfLength(length);
        ASSERT_EQ(tooLong.size(), length);
        EXPECT_EQ(ErrorMessageOf([&] { Lite::MakeTempFilePath(tooLong); }), NoTempFile) << length;
        EXPECT_TRUE(LiteTest::ListNames(tooLong).empty()) << length;
    }
}

}

namespace {

constexpr unsigned long long Hour = 60 * 60;
constexpr unsigned long long Day = 24 * Hour;

std::vector<std::wstring> SortedNames(const std::wstring& directory)
{
    std::vector<std::wstring> names = LiteTest::ListNames(directory);
    std::sort(names.begin(), names.end());
    return names;
}

TEST(RemoveLeftoverTempFiles, RemovesOnlyOldFilesOfTheReservedFormAndItsRenamedForm)
{
    ScratchDirectory scratch;
    const std::wstring directory = scratch / L"downloads";
    ASSERT_TRUE(::CreateDirectoryW(directory.c_str(), nullptr));
    const auto place = [&](const std::wstring& name, unsigned long long age) {
        LiteTest::WriteBytes(directory + L"\\" + name, "x");
        LiteTest::SetLastWriteAge(directory + L"\\" + name, age);
    };
    // A reserved name and an installer left by killed starts, in both letter cases.
    const std::vector<std::wstring> leftovers = {L"CVN1.tmp", L"CVNBEEF.tmp.exe", L"cvna0f.TMP.EXE", L"CVN2.tmp"};
    // Near misses of the renamed form, and the same forms written within the last day.
    const std::vector<std::wstring> others = {L"CVN1.tmp.exe.part", L"CVN3.exe",       L"CVN12345.tmp.exe",
                                              L"CVN4.tmp.exe.exe",  L"CVN5.tmp.ex",    L"XCVN6.tmp.exe",
                                              L"CVN7.tmp .exe",     L"runtime.tmp.exe", L"CVN.tmp.exe"};
    const std::vector<std::wstring> fresh = {L"CVNC0DE.tmp.exe", L"CVNF00.tmp", L"cvnd1.tmp.exe"};
    for (const auto& name : leftovers) {
        place(name, 2 * Day);
    }
    for (const auto& name : others) {
        place(name, 30 * Day);
    }
    place(fresh[0], 0);
    place(fresh[1], Hour);
    place(fresh[2], Day - Hour);
    // A directory and a directory link of the renamed form stay, and so does what lies behind the link.
    ASSERT_TRUE(::CreateDirectoryW((directory + L"\\CVN8.tmp.exe").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW((scratch / L"elsewhere").c_str(), nullptr));
    LiteTest::WriteBytes(scratch / L"elsewhere\\CVN9.tmp.exe", "kept");
    LiteTest::SetLastWriteAge(scratch / L"elsewhere\\CVN9.tmp.exe", 30 * Day);
    LiteTest::MakeDirectoryLink(directory + L"\\CVNA.tmp.exe", scratch / L"elsewhere");
    // Held open by another process: cannot go, and nothing is thrown for it.
    place(L"CVNB.tmp.exe", 30 * Day);
    LiteTest::FileHolder holder(directory + L"\\CVNB.tmp.exe", LiteTest::FileHolder::Sharing::None);

    EXPECT_NO_THROW(Lite::RemoveLeftoverTempFiles(directory, L".exe"));

    std::vector<std::wstring> expected = others;
    expected.insert(expected.end(), fresh.begin(), fresh.end());
    expected.insert(expected.end(), {L"CVN8.tmp.exe", L"CVNA.tmp.exe", L"CVNB.tmp.exe"});
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(SortedNames(directory), expected);
    EXPECT_EQ(LiteTest::ReadBytes(scratch / L"elsewhere\\CVN9.tmp.exe"), "kept");

    // Without an ending only the reserved form goes: an old file of the renamed form is none of ours.
    holder.Release();
    place(L"CVNE.tmp", 2 * Day);
    Lite::RemoveLeftoverTempFiles(directory);
    EXPECT_FALSE(Exists(directory + L"\\CVNE.tmp"));
    EXPECT_TRUE(Exists(directory + L"\\CVNB.tmp.exe"));
}

TEST(RemoveLeftoverTempFiles, NeverCreatesTheDirectoryNorReachesThroughALinkOnItsWay)
{
    ScratchDirectory scratch;
    EXPECT_NO_THROW(Lite::RemoveLeftoverTempFiles(scratch / L"missing\\downloads", L".exe"));
    EXPECT_FALSE(Exists(scratch / L"missing"));

    // The directory itself, or a level above it, is a link to another directory full of leftovers.
    ASSERT_TRUE(::CreateDirectoryW((scratch / L"target").c_str(), nullptr));
    LiteTest::WriteBytes(scratch / L"target\\CVN1.tmp.exe", "kept");
    LiteTest::SetLastWriteAge(scratch / L"target\\CVN1.tmp.exe", 30 * Day);
    LiteTest::MakeDirectoryLink(scratch / L"linked", scratch / L"target");
    ASSERT_TRUE(::CreateDirectoryW((scratch / L"above").c_str(), nullptr));
    LiteTest::MakeDirectoryLink(scratch / L"above\\level", scratch.Path());
    for (const std::wstring& directory : {scratch / L"linked", scratch / L"above\\level\\target"}) {
        EXPECT_NO_THROW(Lite::RemoveLeftoverTempFiles(directory, L".exe"));
    }
    EXPECT_EQ(LiteTest::ReadBytes(scratch / L"target\\CVN1.tmp.exe"), "kept");

    // A file where the directory should be.
    LiteTest::WriteBytes(scratch / L"file", "");
    EXPECT_NO_THROW(Lite::RemoveLeftoverTempFiles(scratch / L"file", L".exe"));
}

}
