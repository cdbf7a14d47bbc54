#include "integrity/InstallerSignature.h"

#include "bootstrap/DelayLoad.h"
#include "bootstrap/ScopedOwner.h"

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstddef>
#include <vector>

namespace Lite {

namespace {

// The trust request as the platform defines it today, ending with the signature-settings pointer.
// Some SDK headers stop one member short; the full layout is declared here so the size the platform
// reads from cbStruct is the same everywhere.
struct TrustRequest {
    DWORD cbStruct;
    LPVOID pPolicyCallbackData;
    LPVOID pSIPClientData;
    DWORD dwUIChoice;
    DWORD fdwRevocationChecks;
    DWORD dwUnionChoice;
    WINTRUST_FILE_INFO* pFile;
    DWORD dwStateAction;
    HANDLE hWVTStateData;
    WCHAR* pwszURLReference;
    DWORD dwProvFlags;
    DWORD dwUIContext;
    void* pSignatureSettings;
};
#ifdef _WIN64
static_assert(sizeof(TrustRequest) == 88, "the 64-bit trust request is 88 bytes");
#endif

bool ReleaseCertificateStore(HCERTSTORE store)
{
    return ::CertCloseStore(store, 0) != FALSE;
}

using CertificateStoreOwner = ScopedOwner<HCERTSTORE, &ReleaseCertificateStore>;
using CryptMessageOwner = ScopedOwner<HCRYPTMSG, &::CryptMsgClose>;
using CertificateOwner = ScopedOwner<PCCERT_CONTEXT, &::CertFreeCertificateContext>;

constexpr wchar_t ExpectedOrganization[] = L"Microsoft Corporation";
constexpr DWORD OrganizationBufferLength = 512;

// Only 'A' to 'Z' fold: the organization is an ASCII name, and a wider folding would let look-alike
// letters from other scripts pass.
bool EqualsIgnoringAsciiCase(const wchar_t* left, const wchar_t* right)
{
    const auto fold = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; };
    for (;; ++left, ++right) {
        if (fold(*left) != fold(*right)) {
            return false;
        }
        if (*left == L'\0') {
            return true;
        }
    }
}

bool IsTrustedByPlatform(const std::wstring& path)
{
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path.c_str();
    fileInfo.hFile = nullptr;
    fileInfo.pgKnownSubject = nullptr;

    TrustRequest trustData{};
    trustData.cbStruct = sizeof(trustData);
    trustData.pPolicyCallbackData = nullptr;
    trustData.pSIPClientData = nullptr;
    trustData.dwUIChoice = WTD_UI_NONE;
    trustData.fdwRevocationChecks = WTD_REVOKE_NONE;
    trustData.dwUnionChoice = WTD_CHOICE_FILE;
    trustData.pFile = &fileInfo;
    trustData.dwStateAction = WTD_STATEACTION_VERIFY;
    trustData.hWVTStateData = nullptr;
    trustData.pwszURLReference = nullptr;
    trustData.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
    trustData.dwUIContext = WTD_UICONTEXT_EXECUTE;
    trustData.pSignatureSettings = nullptr;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = ::WinVerifyTrust(nullptr, &action, &trustData);
    // The state data is released whatever the verdict was.
    trustData.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(nullptr, &action, &trustData);
    return result == ERROR_SUCCESS;
}

bool SignerIsMicrosoft(const std::wstring& path)
{
    DWORD encoding = 0;
    DWORD contentType = 0;
    DWORD formatType = 0;
    CertificateStoreOwner store;
    CryptMessageOwner message;
    if (!::CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                            CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &contentType, &formatType, store.Put(),
                            message.Put(), nullptr)) {
        return false;
    }

    DWORD size = 0;
    if (!::CryptMsgGetParam(message.Get(), CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size)) {
        return false;
    }
    std::vector<std::byte> signerBuffer(size, std::byte{0});
    if (!::CryptMsgGetParam(message.Get(), CMSG_SIGNER_INFO_PARAM, 0, signerBuffer.data(), &size)) {
        return false;
    }
    const auto* signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(signerBuffer.data());

    CERT_INFO searchKey{};
    searchKey.Issuer = signer->Issuer;
    searchKey.SerialNumber = signer->SerialNumber;
    CertificateOwner certificate(::CertFindCertificateInStore(store.Get(), encoding, 0, CERT_FIND_SUBJECT_CERT,
                                                              &searchKey, nullptr));
    if (!certificate.IsHeld()) {
        return false;
    }

    wchar_t organization[OrganizationBufferLength] = {};
    ::CertGetNameStringW(certificate.Get(), CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_ORGANIZATION_NAME),
                         organization, OrganizationBufferLength);
    return EqualsIgnoringAsciiCase(organization, ExpectedOrganization);
}

}

bool VerifyInstallerSignature(const std::wstring& path)
{
    RequireDelayLoadedDll(L"wintrust.dll");
    RequireDelayLoadedDll(L"crypt32.dll");
    if (!IsTrustedByPlatform(path)) {
        return false;
    }
    return SignerIsMicrosoft(path);
}

}
