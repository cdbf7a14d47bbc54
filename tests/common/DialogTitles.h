#pragma once

// The titles of the bootstrapper's task dialogs as a user reads them, written out here from the product's
// wording (never taken from the product itself), for every test that finds a dialog by its title.
namespace LiteTest {

inline constexpr wchar_t ConsentTitle[] = L"Corvane 轻量版 \u2014 需要运行环境";
inline constexpr wchar_t DownloadTitle[] = L"Corvane 轻量版 \u2014 下载运行环境";

}
