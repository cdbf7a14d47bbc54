#include "common/WineFiles.h"

#include "common/TestText.h"

#include <atomic>
#include <stdexcept>

namespace LiteTest {

namespace {

std::wstring Widen(const std::string& text)
{
    std::wstring wide(text.size() * 2 + 1, L'\0');
    wide.resize(::MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), static_cast<int>(wide.size())) -
                1);
    return wide;
}

// Wine starts native programs through CreateProcessW but cannot wait for them, so callers poll for
// the effect instead.
void StartUnixProgram(const std::wstring& program, const std::vector<std::string>& arguments)
{
    std::wstring commandLine = program;
    for (const std::string& argument : arguments) {
        commandLine += L" \"" + Widen(argument) + L"\"";
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &process)) {
        throw std::runtime_error("could not start a Unix helper program");
    }
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
}

// Waits for the effect of a Unix helper program. The limit is no estimate of how long the program takes
// (a table of shell commands on a loaded machine may take many seconds); it only keeps a program that
// never ran from holding the test until CTest's own limit.
constexpr ULONGLONG UnixHelperLimitMs = 300000;

bool WaitFor(bool (*condition)(const std::wstring&), const std::wstring& path)
{
    const ULONGLONG deadline = ::GetTickCount64() + UnixHelperLimitMs;
    while (!condition(path)) {
        if (::GetTickCount64() >= deadline) {
            return condition(path);
        }
        ::Sleep(25);
    }
    return true;
}

}

ScratchDirectory::ScratchDirectory()
{
    static std::atomic<int> counter{0};
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    path_ = std::wstring(temp) + L"lite-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
            std::to_wstring(counter++) + L"-" + std::to_wstring(::GetTickCount64());
    if (!::CreateDirectoryW(path_.c_str(), nullptr)) {
        throw std::runtime_error("could not create a scratch directory");
    }
}

ScratchDirectory::~ScratchDirectory()
{
    try {
        // rm -rf removes links without following them, which Windows-side recursive deletion under
        // Wine does not promise.
        StartUnixProgram(L"Z:\\bin\\rm", {"-rf", UnixPath(path_)});
        WaitFor([](const std::wstring& p) { return !Exists(p); }, path_);
    } catch (...) {
    }
}

void MakeDirectoryLink(const std::wstring& link, const std::wstring& target)
{
    std::string unixLink = UnixPath(link);
    while (!unixLink.empty() && unixLink.back() == '/') {
        unixLink.pop_back();
    }
    StartUnixProgram(L"Z:\\bin\\ln", {"-s", UnixPath(target), unixLink});
    if (!WaitFor(&Exists, link)) {
        throw std::runtime_error("the directory link did not appear");
    }
}

void RunUnixShell(const std::string& command)
{
    static std::atomic<int> counter{0};
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring marker = std::wstring(temp) + L"lite-shell-" + std::to_wstring(::GetCurrentProcessId()) +
                                L"-" + std::to_wstring(counter++) + L".done";
    // The marker is written only after the command, whatever its result.
    StartUnixProgram(L"Z:\\bin\\sh", {"-c", "{ " + command + "; } ; : > '" + UnixPath(marker) + "'"});
    const bool finished = WaitFor(&Exists, marker);
    ::DeleteFileW(marker.c_str());
    if (!finished) {
        throw std::runtime_error("a Unix shell command did not finish: " + command);
    }
}

FileHolder::FileHolder(const std::wstring& path, Sharing sharing)
{
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE childInput = nullptr;
    HANDLE childOutput = nullptr;
    HANDLE output = nullptr;
    if (!::CreatePipe(&childInput, &input_, &inherit, 0) || !::CreatePipe(&output, &childOutput, &inherit, 0)) {
        throw std::runtime_error("no pipe for the file holder");
    }
    ::SetHandleInformation(input_, HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(output, HANDLE_FLAG_INHERIT, 0);

    std::wstring commandLine = L"\"" + ToolPath(L"ui-helper.exe") + L"\" hold-file \"" + path +
                               L"\" " + (sharing == Sharing::Read ? L"read" : L"none");
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childInput;
    startup.hStdOutput = childOutput;
    startup.hStdError = childOutput;
    PROCESS_INFORMATION process{};
    const BOOL started = ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                          &startup, &process);
    ::CloseHandle(childInput);
    ::CloseHandle(childOutput);
    if (!started) {
        ::CloseHandle(output);
        throw std::runtime_error("could not start ui-helper hold-file");
    }
    ::CloseHandle(process.hThread);
    process_ = process.hProcess;

    char line[16] = {};
    DWORD read = 0;
    const BOOL gotLine = ::ReadFile(output, line, sizeof(line) - 1, &read, nullptr);
    ::CloseHandle(output);
    if (!gotLine || std::string(line, read).rfind("held", 0) != 0) {
        Release();
        throw std::runtime_error("ui-helper could not open the file to hold");
    }
}

FileHolder::~FileHolder()
{
    Release();
}

void FileHolder::Release()
{
    if (input_ != nullptr) {
        ::CloseHandle(input_);
        input_ = nullptr;
    }
    if (process_ != nullptr) {
        ::WaitForSingleObject(process_, 30000);
        ::CloseHandle(process_);
        process_ = nullptr;
    }
}

EnvironmentOverride::EnvironmentOverride(const wchar_t* name, const wchar_t* value) : name_(name)
{
    const DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
    hadValue_ = size != 0;
    if (hadValue_) {
        previous_.resize(size);
        previous_.resize(::GetEnvironmentVariableW(name, previous_.data(), size));
    }
    ::SetEnvironmentVariableW(name, value);
}

EnvironmentOverride::~EnvironmentOverride()
{
    ::SetEnvironmentVariableW(name_.c_str(), hadValue_ ? previous_.c_str() : nullptr);
}

void WriteBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("could not create a test file");
    }
    DWORD written = 0;
    const BOOL ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(file);
    if (!ok || written != bytes.size()) {
        throw std::runtime_error("could not write a test file");
    }
}

void SetLastWriteAge(const std::wstring& path, unsigned long long secondsAgo)
{
    HANDLE file = ::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot open " + Utf8(path) + " to set its time");
    }
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER value{};
    value.LowPart = now.dwLowDateTime;
    value.HighPart = now.dwHighDateTime;
    value.QuadPart -= secondsAgo * 10'000'000ULL;
    const FILETIME written{value.LowPart, value.HighPart};
    const BOOL set = ::SetFileTime(file, nullptr, nullptr, &written);
    ::CloseHandle(file);
    if (!set) {
        throw std::runtime_error("cannot set the time of " + Utf8(path));
    }
}

std::string ReadBytes(const std::wstring& path)
{
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("could not open a test file");
    }
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (::ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read != 0) {
        bytes.append(buffer, read);
    }
    ::CloseHandle(file);
    return bytes;
}

bool IsDirectory(const std::wstring& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool Exists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::wstring> ListNames(const std::wstring& directory)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry{};
    HANDLE find = ::FindFirstFileW((directory + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(name);
        }
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
    return names;
}

std::wstring ProgramDirectory()
{
    std::wstring path(32768, L'\0');
    path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path.substr(0, path.find_last_of(L"\\/"));
}

std::wstring ToolPath(const std::wstring& name)
{
    const std::wstring relative = ProgramDirectory() + L"\\..\\tools\\" + name;
    std::wstring full(32768, L'\0');
    full.resize(::GetFullPathNameW(relative.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr));
    return full;
}

::testing::AssertionResult IsFreeToReplace(const std::wstring& path)
{
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return ::testing::AssertionFailure() << "exclusive open for writing failed with " << ::GetLastError();
    }
    ::CloseHandle(file);
    const std::wstring moved = path + L".moved";
    if (!::MoveFileW(path.c_str(), moved.c_str())) {
        return ::testing::AssertionFailure() << "rename failed with " << ::GetLastError();
    }
    if (!::DeleteFileW(moved.c_str())) {
        return ::testing::AssertionFailure() << "delete failed with " << ::GetLastError();
    }
    return ::testing::AssertionSuccess();
}

}
