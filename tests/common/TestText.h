#pragma once

// Small conversions and checks that many tests need.

#include <functional>
#include <string>

namespace LiteTest {

std::string Utf8(const std::wstring& text);

// The Unix name Wine gives a Windows path, for helpers that run outside Wine (the test server).
std::string UnixPath(const std::wstring& path);

// The message of the Lite::Error the action throws, or "(no error)".
std::wstring ErrorMessageOf(const std::function<void()>& action);

}
