#pragma once

#include <string>

namespace Lite {

// Digest of the whole file as lowercase hexadecimal text; algorithm is a CNG identifier such as
// L"SHA256" or L"SHA512".
std::wstring ComputeFileDigest(const std::wstring& path, const wchar_t* algorithm);

}
