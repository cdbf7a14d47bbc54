#include "bootstrap/Error.h"
#include "common/TestText.h"
#include "common/WineFiles.h"
#include "storage/Directories.h"

#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>

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
