// The entry point's reporting over a chosen body: "ok" returns 0, "error" throws an Error with a known
// message, "empty" an Error with no text, "alloc" a standard allocation failure, "signature PATH" checks
// the file's signature as the download worker does (0 when it passes, 2 when it does not).
#include "bootstrap/EntryPoint.h"
#include "bootstrap/Error.h"
#include "integrity/InstallerSignature.h"

#include <windows.h>

#include <new>
#include <string>
#include <string_view>

namespace {

std::wstring mode;
constexpr std::wstring_view SignatureMode = L"signature ";

int Body()
{
    if (mode.starts_with(SignatureMode)) {
        return Lite::VerifyInstallerSignature(mode.substr(SignatureMode.size())) ? 0 : 2;
    }
    if (mode == L"error") {
        throw Lite::Error{L"测试消息：第一行。\n第二行。"};
    }
    if (mode == L"empty") {
        throw Lite::Error{};
    }
    if (mode == L"alloc") {
        throw std::bad_alloc();
    }
    return 0;
}

}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int)
{
    mode = commandLine;
    return Lite::RunAndReport(&Body);
}
