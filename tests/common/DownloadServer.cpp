#include "common/DownloadServer.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <winhttp.h>

#include <sstream>

namespace LiteTest {

namespace {

constexpr INTERNET_PORT ControlPort = 8931;

struct InternetHandle {
    HINTERNET handle;
    explicit InternetHandle(HINTERNET value) : handle(value) {}
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    ~InternetHandle()
    {
        if (handle != nullptr) {
            ::WinHttpCloseHandle(handle);
        }
    }
};

// One plain-HTTP exchange with the control port; false when it cannot be reached.
bool Exchange(const wchar_t* verb, const wchar_t* path, const std::string& body, std::string& reply)
{
    InternetHandle session(::WinHttpOpen(L"corvane-tests", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                         WINHTTP_NO_PROXY_BYPASS, 0));
    InternetHandle connection(session.handle ? ::WinHttpConnect(session.handle, L"127.0.0.1", ControlPort, 0)
                                             : nullptr);
    InternetHandle request(connection.handle ? ::WinHttpOpenRequest(connection.handle, verb, path, nullptr,
                                                                     WINHTTP_NO_REFERER,
                                                                     WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                                             : nullptr);
    if (request.handle == nullptr ||
        !::WinHttpSendRequest(request.handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0, const_cast<char*>(body.data()),
                              static_cast<DWORD>(body.size()), static_cast<DWORD>(body.size()), 0) ||
        !::WinHttpReceiveResponse(request.handle, nullptr)) {
        return false;
    }
    reply.clear();
    char buffer[4096];
    DWORD read = 0;
    while (::WinHttpReadData(request.handle, buffer, sizeof(buffer), &read) && read != 0) {
        reply.append(buffer, read);
    }
    return true;
}

std::wstring ModuleDirectory()
{
    wchar_t path[MAX_PATH * 4] = {};
    ::GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    std::wstring text = path;
    return text.substr(0, text.find_last_of(L'\\'));
}

}

void SetScenario(const std::string& scenarioJson)
{
    std::string reply;
    ASSERT_TRUE(Exchange(L"PUT", L"/_control/scenario", scenarioJson, reply))
        << "the test HTTPS server does not answer on 127.0.0.1:" << ControlPort
        << " (CTest starts it as the https_server fixture)";
    ASSERT_NE(reply.find("\"ok\""), std::string::npos) << reply;
}

void ReleaseHeldAnswers()
{
    std::string reply;
    ASSERT_TRUE(Exchange(L"PUT", L"/_control/release", {}, reply)) << "the test HTTPS server does not answer";
    ASSERT_NE(reply.find("\"ok\""), std::string::npos) << reply;
}

ServerLog ReadServerLog()
{
    ServerLog log;
    std::string reply;
    if (!Exchange(L"GET", L"/_control/log.txt", {}, reply)) {
        ADD_FAILURE() << "the test HTTPS server does not answer";
        return log;
    }
    std::istringstream lines(reply);
    std::string line;
    std::getline(lines, line);
    log.connections = std::stoi(line.substr(line.find(' ') + 1));
    while (std::getline(lines, line)) {
        std::vector<std::string> fields;
        std::istringstream parts(line);
        std::string field;
        while (std::getline(parts, field, '\t')) {
            fields.push_back(field);
        }
        fields.resize(5);
        log.requests.push_back({fields[0], fields[1], fields[2], fields[3], fields[4]});
    }
    return log;
}

std::wstring FixtureDirectory(const std::wstring& name)
{
    const std::wstring tests = ModuleDirectory();
    return tests.substr(0, tests.find_last_of(L'\\')) + L"\\fixtures\\" + name;
}

std::wstring TempPath(const std::wstring& name)
{
    wchar_t directory[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH + 1, directory);
    std::wstring path = std::wstring(directory) + L"corvane-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + name;
    ::DeleteFileW(path.c_str());
    return path;
}

}
