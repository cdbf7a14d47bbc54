#include "common/TestText.h"

#include "bootstrap/Error.h"

#include <windows.h>

#include <stdexcept>

namespace LiteTest {

std::string Utf8(const std::wstring& text)
{
    if (text.empty()) {
        return {};
    }
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string out(size, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

std::string UnixPath(const std::wstring& path)
{
    using UnixNameFn = char*(CDECL*)(LPCWSTR);
    static const auto toUnix = reinterpret_cast<UnixNameFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (toUnix == nullptr) {
        throw std::runtime_error("these tests need Wine (wine_get_unix_file_name)");
    }
    char* name = toUnix(path.c_str());
    if (name == nullptr) {
        throw std::runtime_error("no Unix name for a test path");
    }
    std::string result(name);
    ::HeapFree(::GetProcessHeap(), 0, name);
    return result;
}

std::wstring ErrorMessageOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const Lite::Error& error) {
        return error.message;
    }
    return L"(no error)";
}

}
