#pragma once

#include <string>
#include <vector>

namespace Lite {

// Candidate runtime roots, most preferred first, without duplicates.
std::vector<std::wstring> FindRuntimeRoots();

void AddRuntimeRootCandidate(std::vector<std::wstring>& candidates, std::wstring candidate);

}
