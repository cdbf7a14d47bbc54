#include "bootstrap/EntryPoint.h"

#include "bootstrap/Error.h"

#include <windows.h>

namespace Lite {

namespace {

constexpr wchar_t MessageTitle[] = L"Corvane 轻量版";

}

int RunAndReport(int (*body)())
{
    int exitCode = 1;
    try {
        exitCode = body();
    } catch (const Error& error) {
        ::MessageBoxW(nullptr, error.message.c_str(), MessageTitle, MB_OK | MB_ICONWARNING);
    } catch (...) {
        ::MessageBoxW(nullptr, L"轻量版未能启动，请重新尝试或使用完整版。", MessageTitle, MB_OK | MB_ICONWARNING);
    }
    return exitCode;
}

}
