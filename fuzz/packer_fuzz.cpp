// The six table packers through read, pack and write: a packed file is exactly what
// packing the lines gives, in whole records where the layout is fixed; when packing or writing
// fails, the earlier packed file stays as it was and no temporary file is left.
#include <fuzzer/FuzzedDataProvider.h>

#include <fstream>

#include "core/text_file.h"
#include "download/packing.h"
#include "harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using ol::fuzz::Require;
  FuzzedDataProvider in(data, size);
  const int number = in.ConsumeIntegralInRange(1, ol::kMenuTableCount);
  const bool blocked = in.ConsumeIntegralInRange(0, 15) == 0;
  const std::string text = in.ConsumeRemainingBytesAsString();
  const ol::MenuTable& table = ol::MenuTableInfo(number);
  const std::filesystem::path& dir = ol::fuzz::FreshTxtFolder();
  ol::TxtFolder txt(dir);
  std::ofstream(dir / table.textFile, std::ios::binary) << text;
  const std::string previous = "the earlier packed file";
  if (blocked)
    std::filesystem::create_directory(dir / table.packedFile);  // cannot be replaced
  else
    std::ofstream(dir / table.packedFile, std::ios::binary) << previous;

  const ol::PackResult result = ol::PackTable(txt, number);
  const auto packed = txt.Read(table.packedFile);
  if (result.ok) {
    Require(!blocked, "packing reported success over a folder");
    Require(packed == result.image, "packed file is not the image");
    // Free-text lines longer than a record are kept whole, so only tables 1 and 3 are
    // strictly whole records.
    if (number == 1 || number == 3)
      Require(result.image.size() % table.recordSize == 0, "image is not whole records");
    const ol::PackResult again = ol::PackLines(number, ol::SplitLines(text));
    Require(again.ok && again.image == result.image,
            "read-pack-write differs from packing the lines");
  } else {
    Require(!result.error.empty(), "a failure without a text");
    Require(blocked ? std::filesystem::is_directory(dir / table.packedFile) : packed == previous,
            "a failed packing changed the packed file");
  }
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    Require(!ol::IsTemporaryName(entry.path().filename().string()), "a temporary file was left",
            entry.path().filename().string());
  return 0;
}
