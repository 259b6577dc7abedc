#pragma once

#include <string>
#include <string_view>

namespace ol {

// Files and frames carry GBK (code page 936); the screen and our sources carry UTF-8.
// Bytes that cannot be converted become '?', so a damaged text never stops a conversion.
std::string GbkToUtf8(std::string_view gbk);
std::string Utf8ToGbk(std::string_view utf8);

// Length of the longest prefix of text (at most max bytes) that does not end in the
// first half of a two-byte GBK character.
std::size_t GbkPrefixLength(std::string_view gbk, std::size_t max);

}  // namespace ol
