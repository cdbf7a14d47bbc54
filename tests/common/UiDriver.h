#pragma once

#include <string>
#include <vector>

// Drives tools/ui-helper.exe (a separate Wine process, like a person at the screen) from a test program
// that shows a real dialog itself. Call it from a second thread while the test's own thread sits in
// the modal dialog call.
namespace LiteTest {

struct UiResult {
    int exitCode = -1;
    std::string output;  // UTF-8; for "read", one line of JSON describing the window
};

// Runs ui-helper with these arguments (verb, title, ...) and waits for it.
UiResult RunUiHelper(const std::vector<std::wstring>& arguments);

// How ui-helper writes a text inside its JSON: UTF-8 with quotes, backslashes and line feeds escaped,
// in quotes. Lets a test look for an exact text in a "read" description.
std::string JsonString(const std::wstring& text);

}
