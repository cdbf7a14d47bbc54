#include "integrity/InstallerSignature.h"

#include "common/DownloadServer.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

struct SignatureCase {
    const wchar_t* file;
    bool expected;
};

// Sample files signed by tests/fixtures/pki.py; every signer certificate there is issued with SHA-1 so
// that Wine really checks its chain.
const SignatureCase SignatureCases[] = {
    {L"microsoft.exe", true},             // O=Microsoft Corporation, trusted root
    {L"microsoft-upper.exe", true},       // O=MICROSOFT CORPORATION: ASCII case does not matter
    {L"other-company.exe", false},        // O=Contoso Software Ltd
    {L"trailing-space.exe", false},       // O="Microsoft Corporation "
    {L"longer-name.exe", false},          // O=Microsoft Corporation Ltd
    {L"shortened.exe", false},            // O=Microsoft
    {L"long-s.exe", false},               // O=Micro\u017Foft Corporation: only Unicode case folding matches
    {L"no-organization.exe", false},      // no O attribute at all
    {L"unsigned.exe", false},
    {L"tampered.exe", false},             // one code byte changed after signing
    {L"appended.exe", false},             // 16 bytes appended after signing
    {L"untrusted-chain.exe", false},      // O=Microsoft Corporation under a root the prefix does not trust
    {L"expired.exe", false},              // O=Microsoft Corporation, certificate expired in 2021
};

class InstallerSignature : public testing::TestWithParam<SignatureCase> {};

TEST_P(InstallerSignature, AnswersForTheSignerAndLeavesTheFileFree)
{
    const SignatureCase& sample = GetParam();
    const std::wstring source = LiteTest::FixtureDirectory(L"signing\\") + sample.file;
    const std::wstring copy = LiteTest::TempPath(sample.file);
    ASSERT_TRUE(::CopyFileW(source.c_str(), copy.c_str(), FALSE)) << "missing fixture, error " << ::GetLastError();

    EXPECT_EQ(Lite::VerifyInstallerSignature(copy), sample.expected);

    // Nothing of the check may still hold the file: the caller deletes or runs it right away.
    EXPECT_TRUE(::DeleteFileW(copy.c_str())) << "error " << ::GetLastError();
}

INSTANTIATE_TEST_SUITE_P(Samples, InstallerSignature, testing::ValuesIn(SignatureCases),
                         [](const testing::TestParamInfo<SignatureCase>& info) {
                             std::string name;
                             for (const wchar_t* c = info.param.file; *c != L'.'; ++c) {
                                 name += std::isalnum(static_cast<int>(*c)) ? static_cast<char>(*c) : '_';
                             }
                             return name;
                         });

TEST(InstallerSignatureMissingFile, IsFalse)
{
    EXPECT_FALSE(Lite::VerifyInstallerSignature(LiteTest::TempPath(L"never-created.exe")));
}

}
