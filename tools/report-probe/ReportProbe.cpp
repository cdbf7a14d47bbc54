// The entry point's reporting over a chosen body: "ok" returns 0, "error" throws an Error with a known
// message, "empty" an Error with no text, "alloc" a standard allocation failure.
#include "bootstrap/EntryPoint.h"
#include "bootstrap/Error.h"

#include <windows.h>

#include <new>
#include <string>

namespace {

std::wstring mode;

int Body()
{
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
