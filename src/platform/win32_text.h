#pragma once

#include <string>
#include <string_view>

namespace ol {

// UTF-8 (our texts) to and from UTF-16 (the wide calls of Windows). Invalid sequences
// become U+FFFD.
std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view utf16);

}  // namespace ol
