// Stands in for the real screenshot app: exits 0 at once in probe mode, otherwise shows in a window what
// the bootstrapper handed it, so a person can see the launch worked.
#include <windows.h>
#include <shellapi.h>

#include <string>

namespace {

std::wstring Variable(const wchar_t* name)
{
    const DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) {
        return L"(未设置)";
    }
    std::wstring value(size, L'\0');
    value.resize(::GetEnvironmentVariableW(name, value.data(), size));
    return L"\"" + value + L"\"";
}

std::wstring Describe()
{
    wchar_t directory[MAX_PATH * 4] = {};
    ::GetCurrentDirectoryW(static_cast<DWORD>(std::size(directory)), directory);
    std::wstring text;
    text += L"命令行: " + std::wstring(::GetCommandLineW()) + L"\r\n";
    text += L"当前目录: " + std::wstring(directory) + L"\r\n";
    for (const wchar_t* name : {L"DOTNET_ROOT_X64", L"DOTNET_ROOT", L"DOTNET_MULTILEVEL_LOOKUP",
                                L"DOTNET_DISABLE_GUI_ERRORS", L"CORVANE_BOOTSTRAP_PATH"}) {
        text += std::wstring(name) + L": " + Variable(name) + L"\r\n";
    }
    return text;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE: {
        HWND edit = ::CreateWindowExW(0, L"EDIT", Describe().c_str(),
                                      WS_CHILD | WS_VISIBLE | ES_MULTILINE | ES_READONLY | WS_VSCROLL, 0, 0, 0,
                                      0, window, nullptr, nullptr, nullptr);
        ::SendMessageW(edit, WM_SETFONT, reinterpret_cast<WPARAM>(::GetStockObject(DEFAULT_GUI_FONT)), TRUE);
        return 0;
    }
    case WM_SIZE:
        ::MoveWindow(::GetWindow(window, GW_CHILD), 8, 8, LOWORD(lParam) - 16, HIWORD(lParam) - 16, TRUE);
        return 0;
    case WM_DESTROY:
        ::PostQuitMessage(0);
        return 0;
    default:
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show)
{
    int argc = 0;
    LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    const bool probe = argv != nullptr && argc == 2 && std::wstring(argv[1]) == L"--corvane-runtime-probe";
    ::LocalFree(argv);
    if (probe) {
        return 0;
    }

    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = L"CorvaneDemoApp";
    ::RegisterClassW(&windowClass);
    HWND window = ::CreateWindowExW(0, windowClass.lpszClassName, L"Corvane 截图工具（演示）", WS_OVERLAPPEDWINDOW,
                                    40, 40, 760, 260, nullptr, nullptr, instance, nullptr);
    ::ShowWindow(window, show);

    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
    return 0;
}
