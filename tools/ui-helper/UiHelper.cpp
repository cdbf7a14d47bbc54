// Test helper that acts like a person at the screen: finds a top-level window by its exact title,
// reports what it shows and where it is (as one line of JSON on stdout) and presses its buttons or keys.
//
//   ui-helper read  TITLE [--timeout MS]          describe the window
//   ui-helper list  TITLE COUNT [--timeout MS]    wait for COUNT such windows, describe them all
//   ui-helper click TITLE ID [--timeout MS]       click the button with that id (fails if disabled)
//   ui-helper key   TITLE esc|enter|alt+f4 [...]  real keystrokes to the focused window
//   ui-helper close TITLE [--timeout MS]          the title bar's close box (SC_CLOSE)
//   ui-helper front TITLE [--timeout MS]          make it the active window, as a person's click would
//   ui-helper gone  TITLE [--timeout MS]          wait until no such window is left
//   ui-helper watch                               print "watching", then note every top-level window
//                                                 another process creates until stdin closes; prints
//                                                 them as one JSON list of {title, class, pid} (the
//                                                 title as it read when the report came: a dialog's
//                                                 may still be empty)
//   ui-helper hold-mutex NAME                     hold a named mutex until stdin closes
//   ui-helper mutex-gone NAME [--timeout MS]      wait until no process holds a mutex of that name
//   ui-helper mutex-handles NAME COUNT [...]      wait until COUNT handles (the helper's own not counted)
//                                                 are open on a mutex of that name
//   ui-helper records PATH                        the complete records a stand-in wrote there, as
//                                                 one JSON list of {command_line, directory, environment}
//   ui-helper hold-file PATH [read|none]          hold a file open for writing until stdin closes
//   ui-helper try-change PATH                     try to open the file for writing, rename it and
//                                                 delete it; prints each error code (0: it worked),
//                                                 exits 0 only when all three were refused
//
// Exit codes: 0 done, 2 timed out, 3 bad usage, 4 the action was refused.
#include "../common/RunRecords.h"

#include <windows.h>
#include <winternl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Options {
    std::wstring verb;
    std::vector<std::wstring> args;
    DWORD timeoutMs = 15000;
};

std::string Utf8(const std::wstring& text)
{
    if (text.empty()) {
        return {};
    }
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string out(size, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr,
                          nullptr);
    return out;
}

std::string Json(const std::wstring& text)
{
    std::string out = "\"";
    for (char c : Utf8(text)) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned char>(c));
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

void Print(const std::string& line)
{
    const std::string withNewline = line + "\n";
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), withNewline.data(), static_cast<DWORD>(withNewline.size()),
                &written, nullptr);
}

std::wstring WindowText(HWND window)
{
    const int length = ::GetWindowTextLengthW(window);
    std::wstring text(length + 1, L'\0');
    text.resize(::GetWindowTextW(window, text.data(), length + 1));
    return text;
}

// What a control shows. GetWindowTextW does not ask a control of another process for its text, and an
// edit control keeps its text to itself, so ask the control; a hung one gets a second and an empty text.
std::wstring ControlText(HWND control)
{
    DWORD_PTR length = 0;
    if (!::SendMessageTimeoutW(control, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 1000, &length)) {
        return {};
    }
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!::SendMessageTimeoutW(control, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text.data()),
                               SMTO_ABORTIFHUNG, 1000, &copied)) {
        return {};
    }
    text.resize(copied);
    return text;
}

std::wstring ClassName(HWND window)
{
    wchar_t name[256] = {};
    ::GetClassNameW(window, name, 256);
    return name;
}

struct Search {
    const std::wstring* title;
    HWND found;
};

BOOL CALLBACK MatchTitle(HWND window, LPARAM context)
{
    auto* search = reinterpret_cast<Search*>(context);
    if (::IsWindowVisible(window) && WindowText(window) == *search->title) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND FindByTitle(const std::wstring& title)
{
    Search search{&title, nullptr};
    ::EnumWindows(MatchTitle, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

struct SearchAll {
    const std::wstring* title;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectTitle(HWND window, LPARAM context)
{
    auto* search = reinterpret_cast<SearchAll*>(context);
    if (::IsWindowVisible(window) && WindowText(window) == *search->title) {
        search->found.push_back(window);
    }
    return TRUE;
}

std::vector<HWND> FindAllByTitle(const std::wstring& title)
{
    SearchAll search{&title, {}};
    ::EnumWindows(CollectTitle, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitForWindow(const std::wstring& title, DWORD timeoutMs)
{
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        if (HWND window = FindByTitle(title)) {
            return window;
        }
        if (::GetTickCount64() >= deadline) {
            return nullptr;
        }
        ::Sleep(50);
    }
}

// Pixels of a size x size square of a window, read from the screen as the user sees them.
std::vector<COLORREF> Capture(HWND window, int size)
{
    std::vector<COLORREF> pixels;
    POINT origin{0, 0};
    ::ClientToScreen(window, &origin);
    HDC screen = ::GetDC(nullptr);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            pixels.push_back(::GetPixel(screen, origin.x + x, origin.y + y));
        }
    }
    ::ReleaseDC(nullptr, screen);
    return pixels;
}

// The same square with a standard icon drawn over the given background.
std::vector<COLORREF> Render(LPCWSTR iconId, COLORREF background, int size)
{
    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    HBITMAP bitmap = ::CreateCompatibleBitmap(screen, size, size);
    HGDIOBJ previous = ::SelectObject(memory, bitmap);
    HBRUSH brush = ::CreateSolidBrush(background);
    RECT all{0, 0, size, size};
    ::FillRect(memory, &all, brush);
    ::DrawIconEx(memory, 0, 0, ::LoadIconW(nullptr, iconId), 0, 0, 0, nullptr, DI_NORMAL | DI_DEFAULTSIZE);
    std::vector<COLORREF> pixels;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            pixels.push_back(::GetPixel(memory, x, y));
        }
    }
    ::DeleteObject(brush);
    ::SelectObject(memory, previous);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
    return pixels;
}

// Names the standard icon a message box shows by comparing what is on screen with the system's icons
// (icon handles of another process cannot be read, but its pixels can).
std::wstring IconName(HWND dialog)
{
    const int size = ::GetSystemMetrics(SM_CXICON);
    for (HWND child = ::GetWindow(dialog, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT)) {
        if ((::GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) != SS_ICON || ClassName(child) != L"Static" ||
            !::IsWindowVisible(child)) {
            continue;
        }
        const auto shown = Capture(child, size);
        const std::pair<LPCWSTR, const wchar_t*> known[] = {
            {IDI_WARNING, L"warning"}, {IDI_INFORMATION, L"information"},
            {IDI_ERROR, L"error"}, {IDI_QUESTION, L"question"}};
        // Nearest match: anti-aliased edges may differ slightly from our own rendering.
        const wchar_t* best = L"other";
        long long bestDistance = -1;
        for (const auto& [id, name] : known) {
            const auto rendered = Render(id, shown.front(), size);
            long long distance = 0;
            for (size_t i = 0; i < shown.size(); ++i) {
                for (int shift : {0, 8, 16}) {
                    distance += std::abs(static_cast<int>((shown[i] >> shift) & 0xFF) -
                                         static_cast<int>((rendered[i] >> shift) & 0xFF));
                }
            }
            if (bestDistance < 0 || distance < bestDistance) {
                bestDistance = distance;
                best = name;
            }
        }
        return best;
    }
    return L"none";
}

BOOL CALLBACK CollectChild(HWND child, LPARAM context)
{
    auto* out = reinterpret_cast<std::string*>(context);
    if (out->back() != '[') {
        *out += ",";
    }
    *out += "{\"class\":" + Json(ClassName(child)) + ",\"id\":" + std::to_string(::GetDlgCtrlID(child)) +
            ",\"text\":" + Json(ControlText(child)) +
            ",\"style\":" + std::to_string(static_cast<unsigned long>(::GetWindowLongW(child, GWL_STYLE))) +
            ",\"enabled\":" + (::IsWindowEnabled(child) ? "true" : "false") +
            ",\"visible\":" + (::IsWindowVisible(child) ? "true" : "false") + "}";
    return TRUE;
}

std::string Describe(HWND window)
{
    DWORD processId = 0;
    ::GetWindowThreadProcessId(window, &processId);
    // Where the whole window, frame included, lies on the screen, so a picture can be cut to it.
    RECT frame{};
    ::GetWindowRect(window, &frame);
    std::string out = "{\"title\":" + Json(WindowText(window)) + ",\"class\":" + Json(ClassName(window)) +
                      ",\"pid\":" + std::to_string(processId) +
                      ",\"rect\":[" + std::to_string(frame.left) + "," + std::to_string(frame.top) + "," +
                      std::to_string(frame.right) + "," + std::to_string(frame.bottom) + "]" +
                      ",\"owner\":" + (::GetWindow(window, GW_OWNER) ? "true" : "false") +
                      ",\"icon\":" + Json(IconName(window)) + ",\"children\":[";
    ::EnumChildWindows(window, CollectChild, reinterpret_cast<LPARAM>(&out));
    return out + "]}";
}

void SendKeys(const std::vector<WORD>& keys)
{
    std::vector<INPUT> inputs;
    for (WORD key : keys) {
        INPUT input{};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = key;
        inputs.push_back(input);
    }
    for (auto it = keys.rbegin(); it != keys.rend(); ++it) {
        INPUT input{};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = *it;
        input.ki.dwFlags = KEYEVENTF_KEYUP;
        inputs.push_back(input);
    }
    ::SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

int HoldUntilStdinCloses()
{
    Print("held");
    char buffer[64];
    DWORD read = 0;
    while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof(buffer), &read, nullptr) && read != 0) {
    }
    return 0;
}

// Top-level windows created while watching, as the system reported them.
std::vector<std::string> createdWindows;

void CALLBACK WindowCreated(HWINEVENTHOOK, DWORD, HWND window, LONG object, LONG child, DWORD, DWORD)
{
    if (object != OBJID_WINDOW || child != CHILDID_SELF || window == nullptr ||
        ::GetAncestor(window, GA_PARENT) != ::GetDesktopWindow()) {
        return;
    }
    DWORD processId = 0;
    ::GetWindowThreadProcessId(window, &processId);
    createdWindows.push_back("{\"title\":" + Json(WindowText(window)) + ",\"class\":" +
                             Json(ClassName(window)) + ",\"pid\":" + std::to_string(processId) + "}");
}

DWORD WINAPI StopWhenStdinCloses(LPVOID mainThread)
{
    char buffer[64];
    DWORD read = 0;
    while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof(buffer), &read, nullptr) && read != 0) {
    }
    ::PostThreadMessageW(static_cast<DWORD>(reinterpret_cast<UINT_PTR>(mainThread)), WM_APP, 0, 0);
    return 0;
}

// Every window's creation is reported to this thread as it happens, whichever process creates it and
// however briefly it lives, so a window that comes and goes between two looks cannot slip by. Creation,
// not showing: Wine 8 reports no EVENT_OBJECT_SHOW, and a window is shown only after it was created.
int WatchUntilStdinCloses()
{
    HWINEVENTHOOK hook = ::SetWinEventHook(EVENT_OBJECT_CREATE, EVENT_OBJECT_CREATE, nullptr, WindowCreated, 0, 0,
                                           WINEVENT_OUTOFCONTEXT | WINEVENT_SKIPOWNPROCESS);
    if (hook == nullptr) {
        return 4;
    }
    MSG message{};
    ::PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists before the stop can be posted
    HANDLE stopper = ::CreateThread(nullptr, 0, StopWhenStdinCloses,
                                    reinterpret_cast<LPVOID>(static_cast<UINT_PTR>(::GetCurrentThreadId())), 0,
                                    nullptr);
    if (stopper == nullptr) {
        return 4;
    }
    Print("watching");
    while (::GetMessageW(&message, nullptr, 0, 0) > 0 && !(message.hwnd == nullptr && message.message == WM_APP)) {
        ::DispatchMessageW(&message);
    }
    ::UnhookWinEvent(hook);
    ::CloseHandle(stopper);
    std::string out = "[";
    for (const std::string& window : createdWindows) {
        out += (out.size() > 1 ? "," : "") + window;
    }
    Print(out + "]");
    return 0;
}

// ObjectBasicInformation as the platform fills it; winternl.h declares only a reserved block.
struct ObjectBasics {
    ULONG attributes;
    ACCESS_MASK grantedAccess;
    ULONG handleCount;
    ULONG pointerCount;
    ULONG reserved[10];
};

// Handles open on the mutex, this one included; 0 when the count cannot be read.
ULONG HandleCount(HANDLE mutex)
{
    using Query = NTSTATUS(WINAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);
    const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
    ObjectBasics basics{};
    ULONG length = 0;
    if (query == nullptr || query(mutex, ObjectBasicInformation, &basics, sizeof(basics), &length) != 0) {
        return 0;
    }
    return basics.handleCount;
}

int Run(const Options& options)
{
    const auto& args = options.args;
    if (options.verb == L"hold-mutex" && args.size() == 1) {
        HANDLE mutex = ::CreateMutexW(nullptr, TRUE, args[0].c_str());
        if (mutex == nullptr) {
            return 4;
        }
        const int code = HoldUntilStdinCloses();
        ::CloseHandle(mutex);
        return code;
    }
    if (options.verb == L"mutex-gone" && args.size() == 1) {
        // A process that was killed keeps its name alive until the system has closed its handles.
        const ULONGLONG deadline = ::GetTickCount64() + options.timeoutMs;
        for (;;) {
            HANDLE mutex = ::OpenMutexW(SYNCHRONIZE, FALSE, args[0].c_str());
            if (mutex == nullptr) {
                return ::GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : 4;
            }
            ::CloseHandle(mutex);
            if (::GetTickCount64() >= deadline) {
                return 2;
            }
            ::Sleep(20);
        }
    }
    if (options.verb == L"mutex-handles" && args.size() == 2) {
        // Every start keeps its handle on the single-instance name while its busy box is up, so the count
        // tells how many starts have passed that guard, box drawn or not.
        const ULONG wanted = static_cast<ULONG>(std::stoul(args[1]));
        const ULONGLONG deadline = ::GetTickCount64() + options.timeoutMs;
        for (;;) {
            HANDLE mutex = ::OpenMutexW(SYNCHRONIZE, FALSE, args[0].c_str());
            const ULONG count = mutex != nullptr ? HandleCount(mutex) : 0;
            if (mutex != nullptr) {
                ::CloseHandle(mutex);
            }
            if (count > wanted) {
                return 0;
            }
            if (::GetTickCount64() >= deadline) {
                return 2;
            }
            ::Sleep(20);
        }
    }
    if (options.verb == L"records" && args.size() == 1) {
        std::string out = "[";
        for (const StandIn::Record& record : StandIn::ReadRecords(args[0])) {
            if (out.size() > 1) {
                out += ',';
            }
            out += "{\"command_line\":";
            out += Json(record.commandLine);
            out += ",\"directory\":";
            out += Json(record.currentDirectory);
            out += ",\"environment\":{";
            for (const auto& [name, value] : record.environment) {
                if (out.back() != '{') {
                    out += ',';
                }
                out += Json(name);
                out += ':';
                out += Json(value);
            }
            out += "}}";
        }
        out += ']';
        Print(out);
        return 0;
    }
    if (options.verb == L"watch" && args.empty()) {
        return WatchUntilStdinCloses();
    }
    if (options.verb == L"hold-file" && !args.empty()) {
        const DWORD share = args.size() > 1 && args[1] == L"read" ? FILE_SHARE_READ : 0;
        HANDLE file = ::CreateFileW(args[0].c_str(), GENERIC_WRITE, share, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return 4;
        }
        const int code = HoldUntilStdinCloses();
        ::CloseHandle(file);
        return code;
    }
    if (options.verb == L"try-change" && args.size() == 1) {
        const std::wstring& path = args[0];
        const std::wstring moved = path + L".moved";
        HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        const DWORD write = file == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
        if (file != INVALID_HANDLE_VALUE) {
            ::CloseHandle(file);
        }
        const DWORD rename = ::MoveFileExW(path.c_str(), moved.c_str(), 0) ? 0 : ::GetLastError();
        if (rename == 0) {
            ::MoveFileExW(moved.c_str(), path.c_str(), 0);
        }
        const DWORD removal = ::DeleteFileW(path.c_str()) ? 0 : ::GetLastError();
        Print("{\"write\":" + std::to_string(write) + ",\"rename\":" + std::to_string(rename) +
              ",\"delete\":" + std::to_string(removal) + "}");
        return write != 0 && rename != 0 && removal != 0 ? 0 : 4;
    }
    if (args.empty()) {
        return 3;
    }
    const std::wstring& title = args[0];
    if (options.verb == L"gone") {
        const ULONGLONG deadline = ::GetTickCount64() + options.timeoutMs;
        while (FindByTitle(title) != nullptr) {
            if (::GetTickCount64() >= deadline) {
                return 2;
            }
            ::Sleep(50);
        }
        return 0;
    }

    if (options.verb == L"list" && args.size() == 2) {
        const size_t wanted = std::stoul(args[1]);
        const ULONGLONG deadline = ::GetTickCount64() + options.timeoutMs;
        std::vector<HWND> windows;
        while ((windows = FindAllByTitle(title)).size() < wanted && ::GetTickCount64() < deadline) {
            ::Sleep(50);
        }
        ::Sleep(200);
        std::string out;
        for (HWND window : windows) {
            out += out.empty() ? "[" : ",";
            out += Describe(window);
        }
        Print(out.empty() ? "[]" : out + "]");
        return windows.size() >= wanted ? 0 : 2;
    }

    HWND window = WaitForWindow(title, options.timeoutMs);
    if (window == nullptr) {
        return 2;
    }
    if (options.verb == L"read") {
        ::Sleep(200);  // let the dialog finish laying out its texts
        Print(Describe(window));
        return 0;
    }
    if (options.verb == L"click" && args.size() == 2) {
        const int id = std::stoi(args[1]);
        HWND button = nullptr;
        const ULONGLONG deadline = ::GetTickCount64() + options.timeoutMs;
        while ((button = ::GetDlgItem(window, id)) == nullptr && ::GetTickCount64() < deadline) {
            ::Sleep(50);
        }
        if (button == nullptr || !::IsWindowEnabled(button)) {
            return 4;
        }
        ::PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
        return 0;
    }
    if (options.verb == L"front") {
        ::SetForegroundWindow(window);
        // Without a window manager no X window holds the keyboard focus, and Wine then draws even the
        // foreground window's title bar as inactive.
        DWORD_PTR ignored = 0;
        ::SendMessageTimeoutW(window, WM_NCACTIVATE, TRUE, 0, SMTO_ABORTIFHUNG, 1000, &ignored);
        ::Sleep(200);
        return 0;
    }
    if (options.verb == L"close") {
        ::PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
        return 0;
    }
    if (options.verb == L"key" && args.size() == 2) {
        ::SetForegroundWindow(window);
        ::Sleep(200);
        if (args[1] == L"esc") {
            SendKeys({VK_ESCAPE});
        } else if (args[1] == L"enter") {
            SendKeys({VK_RETURN});
        } else if (args[1] == L"alt+f4") {
            SendKeys({VK_MENU, VK_F4});
        } else {
            return 3;
        }
        return 0;
    }
    return 3;
}

}

int wmain(int argc, wchar_t** argv)
{
    Options options;
    if (argc < 2) {
        return 3;
    }
    options.verb = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--timeout" && i + 1 < argc) {
            options.timeoutMs = static_cast<DWORD>(std::stoul(argv[++i]));
        } else {
            options.args.push_back(arg);
        }
    }
    return Run(options);
}
