#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/txt_folder.h"

namespace ol {

inline constexpr int kMenuTableCount = 6;

// One of the six menu tables. The number is the table's identity on the radio and the
// order in which tables are packed and sent.
struct MenuTable {
  int number;               // 1..6
  const char* checkBox;     // the download screen's tick box for the table
  const char* textFile;     // the host's fixed-column text file in the TXT folder
  const char* packedFile;   // the packed record file written beside it
  const char* missingText;  // shown when the text file is absent
  std::size_t recordSize;   // size of a well-formed record
};

// Tables 1..6; any other number is a programming error (std::out_of_range).
const MenuTable& MenuTableInfo(int number);

// The telephone-keypad transcription of a letter code: letters a-z and A-Z become the
// digit of their key; every other byte, including both bytes of a GBK character, stays.
std::string KeypadDigits(std::string_view code);

struct PackResult {
  bool ok = false;
  std::string image;  // the packed records, when ok
  std::string error;  // text for the operator (UTF-8), when not ok
};

// Packs the lines of table `number`'s text file into its records. Writes nothing.
PackResult PackLines(int number, const std::vector<std::string>& lines);

// Reads the table's text file from the TXT folder, packs it and replaces the packed file
// whole and atomically. When anything fails, nothing is written and the earlier packed
// file stays as it was.
PackResult PackTable(const TxtFolder& txt, int number);

}  // namespace ol
