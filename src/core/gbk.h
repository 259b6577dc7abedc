#pragma once

#include <string>
#include <string_view>

namespace ol {

// Files and frames carry GBK (code page 936); the screen and our sources carry UTF-8.
// Bytes that cannot be converted become '?', so a damaged text never stops a conversion.
std::string GbkToUtf8(std::string_view gbk);
std::string Utf8ToGbk(std::string_view utf8);

// The text as the code page reads it into UTF-16 and writes it back: every character of
// the code page stays as it is, and the code page maps every lead byte followed by a
// trail byte (its user-defined areas and GBK's gaps to private-use characters); a byte
// that begins no character becomes its replacement character '?'. ASCII, line breaks
// included, is never taken into a replaced character.
std::string GbkRoundTrip(std::string_view gbk);

// Length of the longest prefix of text (at most max bytes) that does not end in the
// first half of a two-byte GBK character.
std::size_t GbkPrefixLength(std::string_view gbk, std::size_t max);

}  // namespace ol
