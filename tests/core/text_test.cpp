#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "core/form_model.h"
#include "core/gbk.h"
#include "core/manual_loop.h"
#include "core/text_file.h"
#include "core/txt_folder.h"
#include "testing/memory_file_store.h"
#include "testing/temp_dir.h"

namespace ol {
namespace {

using testing::MemoryFileStore;
using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

TEST(SplitLines, AllLineEndsAndNoExtraFinalLine) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitLines("a\r\nb\rc\nd"), (V{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitLines("a\r\n"), (V{"a"}));
  EXPECT_EQ(SplitLines("a\r\n\r\n"), (V{"a", ""}));
  EXPECT_EQ(SplitLines("\n\r"), (V{"", ""}));  // LF then lone CR: two empty lines
  EXPECT_EQ(SplitLines(""), V{});
  EXPECT_EQ(JoinCrLf({"01 05 COM3", ""}), "01 05 COM3\r\n\r\n");
}

TEST(Gbk, RoundTripAndDamagedInput) {
  std::string utf8 = "基站未连接";
  std::string gbk = Utf8ToGbk(utf8);
  EXPECT_EQ(gbk, "\xBB\xF9\xD5\xBE\xCE\xB4\xC1\xAC\xBD\xD3");
  EXPECT_EQ(GbkToUtf8(gbk), utf8);
  // A cut second half never stops the conversion.
  EXPECT_EQ(GbkToUtf8(gbk.substr(0, 3)), "基?");
  EXPECT_EQ(GbkToUtf8("OK\r\n"), "OK\r\n");
}

TEST(Gbk, RoundTripThroughTheCodePageReplacesWhatItCannotRead) {
  const std::pair<std::string, std::string> cases[] = {
      {"OK\r\n", "OK\r\n"},
      {Utf8ToGbk("菜品表") + "\x80", Utf8ToGbk("菜品表") + "\x80"},  // 0x80 is the euro
      {"\xAA\xA1\xFE\xFE\xA1\x40", "\xAA\xA1\xFE\xFE\xA1\x40"},      // user-defined areas
      {"A\xFF"
       "B",
       "A?B"},                                   // no character at all
      {"\x81\r\n", "?\r\n"},                     // a lead byte alone keeps the line break after it
      {"x\xD6", "x?"},                           // cut after a lead byte
      {"\xA2\xAB\xD6\xD0", "\xA2\xAB\xD6\xD0"},  // a gap of GBK: private use
      // A host writing UTF-8: "é€" is C3 A9 E2 82 AC; the first two pairs read as GBK.
      {"\xC3\xA9\xE2\x82\xAC", "\xC3\xA9\xE2\x82?"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(GbkRoundTrip(in), out) << GbkToUtf8(in);
}

// The code page maps every lead byte followed by a trail byte, GBK's gaps (to
// private-use characters) and its late additions included, where glibc's GBK has none.
TEST(Gbk, RoundTripKeepsEveryPairTheCodePageMaps) {
  const std::pair<std::string, std::string> cases[] = {
      {"\xA6\xD9\xA6\xDF", "\xA6\xD9\xA6\xDF"},  // vertical punctuation
      {"\xA8\xBC\xA8\xBF", "\xA8\xBC\xA8\xBF"},  // pinyin letters
      {"\xA9\x89\xA9\x95", "\xA9\x89\xA9\x95"},  // ideographic description
      {"\xFE\x50\xFE\x7E\xFE\x80\xFE\xA0", "\xFE\x50\xFE\x7E\xFE\x80\xFE\xA0"},
      {"\xA2\xE3\xA7\xC2\xD7\xFE", "\xA2\xE3\xA7\xC2\xD7\xFE"},  // gaps of GBK
      // No pair without a trail byte: the lead byte alone is replaced.
      {"\xFE\x7F\xA6\xFF", "?\x7F??"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(GbkRoundTrip(in), out) << GbkToUtf8(in);
#ifdef _WIN32
  // The system's own round trip keeps every pair too.
  for (int lead = 0x81; lead <= 0xFE; ++lead)
    for (int trail = 0x40; trail <= 0xFE; ++trail) {
      if (trail == 0x7F) continue;
      const std::string pair{static_cast<char>(lead), static_cast<char>(trail)};
      wchar_t wide[2];
      char back[4];
      const int n = MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, pair.data(), 2, wide, 2);
      const int m = WideCharToMultiByte(936, 0, wide, n, back, sizeof back, nullptr, nullptr);
      ASSERT_EQ(std::string(back, m > 0 ? m : 0), pair) << std::hex << lead << ' ' << trail;
      ASSERT_EQ(GbkRoundTrip(pair), pair) << std::hex << lead << ' ' << trail;
    }
#endif
}

TEST(Gbk, PrefixNeverEndsInHalfACharacter) {
  std::string text = "A" + Utf8ToGbk("菜品");  // 1 + 2 + 2 bytes
  EXPECT_EQ(GbkPrefixLength(text, 5), 5u);
  EXPECT_EQ(GbkPrefixLength(text, 4), 3u);
  EXPECT_EQ(GbkPrefixLength(text, 2), 1u);
  EXPECT_EQ(GbkPrefixLength(text, 100), 5u);
}

// The long-path prefix the program adds for itself never reaches an operator's text.
TEST(DisplayText, DropsTheLongPathPrefix) {
  const struct {
    const char* path;
    const char* shown;
  } cases[] = {{R"(\\?\C:\点菜\TXT)", R"(C:\点菜\TXT)"},
               {R"(\\?\UNC\server\share\TXT)", R"(\\server\share\TXT)"},
               {R"(C:\TXT)", R"(C:\TXT)"},
               {"/srv/TXT", "/srv/TXT"}};
  for (const auto& c : cases) EXPECT_EQ(DisplayText(Utf8Path(c.path)), c.shown) << c.path;
}

TEST(TxtFolder, CreatesFolderAndMatchesNamesWithoutCase) {
  TempDir tmp;
  TxtFolder folder(tmp.Path() / "TXT");
  EXPECT_TRUE(std::filesystem::is_directory(tmp.Path() / "TXT"));
  WriteBytes(tmp.Path() / "TXT" / "DCJ.txt", "01 007\r\n");
  EXPECT_TRUE(folder.Exists("dcj.TXT"));
  folder.WriteLines("DCJ.TXT", {"01 008"});
  EXPECT_EQ(ReadBytes(tmp.Path() / "TXT" / "DCJ.txt"), "01 008\r\n");
  // The file keeps its name (a case-blind file system cannot tell by existence).
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(tmp.Path() / "TXT"))
    names.push_back(Utf8Text(e.path().filename()));
  EXPECT_EQ(names, std::vector<std::string>{"DCJ.txt"});
  // UTF-8 names: only the ASCII part ignores case.
  WriteBytes(tmp.Path() / "TXT" / Utf8Path("菜品表.txt"), "x");
  EXPECT_EQ(folder.Read("菜品表.TXT").value_or(""), "x");
  EXPECT_FALSE(folder.Read("missing.txt").has_value());
  // A folder where a file belongs reads as no file instead of throwing.
  std::filesystem::create_directory(tmp.Path() / "TXT" / "R1.txt");
  EXPECT_FALSE(folder.Read("R1.txt").has_value());
  EXPECT_FALSE(folder.ReadPrefix("R1.txt", 16).has_value());
}

TEST(TxtFolder, AtomicWriteLeavesNoTemporaryAndReportsFailure) {
  TempDir tmp;
  TxtFolder folder(tmp.Path());
  folder.Write("T1.txt", "old");
  folder.Write("T1.txt", "new");
  int files = 0;
  for (auto& e : std::filesystem::directory_iterator(tmp.Path())) {
    (void)e;
    ++files;
  }
  EXPECT_EQ(files, 1);
  EXPECT_EQ(ReadBytes(tmp.Path() / "T1.txt"), "new");
  std::filesystem::create_directory(tmp.Path() / "dir.txt");
  EXPECT_THROW(folder.Write("dir.txt", "x"), FileError);
}

using Files = std::map<std::string, std::string>;

Files FilesIn(const std::filesystem::path& dir) {
  Files files;
  for (auto& e : std::filesystem::directory_iterator(dir))
    files[e.path().filename().string()] = ReadBytes(e.path());
  return files;
}

// Copies the folder at every flush: what a crash right then would leave on the disk.
class SnapshotSync : public FileSync {
 public:
  explicit SnapshotSync(std::filesystem::path dir) : dir_(std::move(dir)) {}
  bool SyncFile(NativeFile) const override { return Snap(); }
  bool SyncFolder(const std::filesystem::path&) const override { return Snap(); }
  mutable std::vector<Files> snapshots;

 private:
  bool Snap() const {
    snapshots.push_back(FilesIn(dir_));
    return true;
  }
  std::filesystem::path dir_;
};

TEST(TxtFolder, PairSavedTogetherIsWholeAfterACrashAtAnyFlush) {
  TempDir tmp;
  SnapshotSync sync(tmp.Path());
  TxtFolder folder(tmp.Path(), &sync);
  WriteBytes(tmp.Path() / "JZ.txt", "old jz");
  WriteBytes(tmp.Path() / "DCJ.txt", "old dcj");
  folder.WriteTogether({{"jz.TXT", "new jz"}, {"DCJ.TXT", "new dcj"}});
  EXPECT_EQ(FilesIn(tmp.Path()), (Files{{"JZ.txt", "new jz"}, {"DCJ.txt", "new dcj"}}));

  ASSERT_GE(sync.snapshots.size(), 4u);
  bool sawOld = false, sawNew = false;
  for (std::size_t i = 0; i < sync.snapshots.size(); ++i) {
    TempDir restart;
    for (const auto& [name, bytes] : sync.snapshots[i]) WriteBytes(restart.Path() / name, bytes);
    TxtFolder(restart.Path()).Recover();
    const Files after = FilesIn(restart.Path());
    const bool old = after == Files{{"JZ.txt", "old jz"}, {"DCJ.txt", "old dcj"}};
    const bool fresh = after == Files{{"JZ.txt", "new jz"}, {"DCJ.txt", "new dcj"}};
    EXPECT_TRUE(old || fresh) << "crash at flush " << i << ": " << after.size() << " files";
    sawOld |= old;
    sawNew |= fresh;
  }
  EXPECT_TRUE(sawOld && sawNew);
}

TEST(TxtFolder, StartRemovesOnlyOurStaleTemporariesAndFailuresLeaveNone) {
  TempDir tmp;
  TxtFolder folder(tmp.Path());
  // The host's own files, however much they look like temporaries, are never touched.
  const Files kept{{"R1.txt", "r"},    {"notes.tmp", "n"},           {"a.tmp12x", "a"},
                   {".tmp5", "d"},     {"T1.txt.tmp771435775", "h"}, {"menu.bak.tmp3", "m"},
                   {"JZ.txt.tmp", "j"}};
  for (const auto& [name, bytes] : kept) WriteBytes(tmp.Path() / name, bytes);
  // What interrupted replacements of ours left: complete or cut temporaries.
  for (const char* target : {"T1.txt", "JZ.txt", "logfile.txt"})
    WriteTemporary(tmp.Path() / target, "part", nullptr);
  EXPECT_EQ(folder.Recover().size(), 3u);
  EXPECT_EQ(FilesIn(tmp.Path()), kept);
  // A record never takes a host's file for one of our temporaries.
  WriteBytes(tmp.Path() / TxtFolder::kPendingRecord, "T1.txt.tmp771435775\r\nR1.txt\r\n");
  folder.Recover();
  EXPECT_EQ(FilesIn(tmp.Path()), kept);

  // Replacing fails where a folder stands in the way: no temporary stays, nothing changes.
  std::filesystem::create_directory(tmp.Path() / "DCJ.txt");
  EXPECT_THROW(folder.Write("DCJ.txt", "x"), FileError);
  EXPECT_THROW(folder.WriteTogether({{"DCJ.txt", "x"}, {"R1.txt", "new"}}), FileError);
  EXPECT_THROW(folder.WriteTogether({{"R1.txt", "new"}, {"nodir/x.txt", "x"}}), FileError);
  std::filesystem::remove(tmp.Path() / "DCJ.txt");
  EXPECT_EQ(FilesIn(tmp.Path()), kept);
}

// Another program holding the file being replaced (a virus scanner, a host still reading
// the old one) delays the replacement by at most about a second; a hold that lasts, or
// any other refusal at once, fails naming the file and keeps the old contents.
TEST(TxtFolder, ReplacementWaitsOutABriefHoldOnTheFile) {
  using Outcome = RenameRetry::Outcome;
  using std::chrono::milliseconds;
  milliseconds bound{0};
  for (milliseconds pause : SystemRenameRetry().pauses) bound += pause;
  EXPECT_GE(bound.count(), 500);
  EXPECT_LE(bound.count(), 1500);
  const struct {
    const char* what;
    int refusals;
    Outcome refusal;
    std::size_t pauses;
  } cases[] = {
      {"free", 0, Outcome::kHeld, 0},
      {"held for two tries", 2, Outcome::kHeld, 2},
      {"held throughout", 1000, Outcome::kHeld, SystemRenameRetry().pauses.size()},
      {"refused for another reason", 1000, Outcome::kFailed, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir tmp;
    int tries = 0;
    std::vector<milliseconds> paused;
    RenameRetry retry = SystemRenameRetry();
    retry.pause = [&](milliseconds pause) { paused.push_back(pause); };
    retry.move = [&](const std::filesystem::path& from, const std::filesystem::path& to) {
      if (tries++ < c.refusals) return RenameRetry::Result{c.refusal, "refused"};
      return SystemRename(from, to);
    };
    DiskFileStore store(tmp.Path(), nullptr, retry);
    WriteBytes(tmp.Path() / "T1.txt", "old");
    const bool replaces = c.refusals < static_cast<int>(retry.pauses.size());
    try {
      store.Replace("T1.txt", "new");
      EXPECT_TRUE(replaces);
    } catch (const FileError& e) {
      EXPECT_FALSE(replaces);
      EXPECT_NE(std::string(e.what()).find("T1.txt"), std::string::npos) << e.what();
    }
    EXPECT_EQ(FilesIn(tmp.Path()), (Files{{"T1.txt", replaces ? "new" : "old"}}));
    EXPECT_EQ(paused,
              std::vector<milliseconds>(retry.pauses.begin(), retry.pauses.begin() + c.pauses));
  }
#ifdef _WIN32
  // The system's own refusal while the host reads the file without sharing its removal.
  TempDir tmp;
  WriteBytes(tmp.Path() / "T1.txt", "old");
  HANDLE reader = CreateFileW((tmp.Path() / "T1.txt").c_str(), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  RenameRetry retry = SystemRenameRetry();
  retry.pause = [&](milliseconds) { CloseHandle(std::exchange(reader, nullptr)); };
  DiskFileStore store(tmp.Path(), nullptr, retry);
  EXPECT_NO_THROW(store.Replace("T1.txt", "new"));
  EXPECT_EQ(reader, nullptr) << "the rename was not refused";
  EXPECT_EQ(ReadBytes(tmp.Path() / "T1.txt"), "new");
#endif
}

#ifdef _WIN32
// Windows refuses to rename over a read-only file, which Wine allows: the move here
// refuses as Windows does (and as the hidden target is said to be refused), and the
// file's attributes are the system's own.
TEST(TxtFolder, ReadOnlyOrHiddenFilesAreWrittenAndStayHidden) {
  constexpr DWORD kReadOnly = FILE_ATTRIBUTE_READONLY, kHidden = FILE_ATTRIBUTE_HIDDEN,
                  kSystem = FILE_ATTRIBUTE_SYSTEM;
  const struct {
    DWORD before;
    bool renameWorks;
    DWORD after;
  } cases[] = {
      {kReadOnly, true, 0},
      {kHidden, true, kHidden},
      {kReadOnly | kHidden | kSystem, true, kHidden | kSystem},
      // A replacement that fails for another reason leaves the old file as it was.
      {kReadOnly | kHidden, false, kReadOnly | kHidden},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.before);
    TempDir tmp;
    const std::filesystem::path t1 = tmp.Path() / "T1.txt";
    RenameRetry retry = SystemRenameRetry();
    retry.pause = [](std::chrono::milliseconds) {};
    retry.move = [&](const std::filesystem::path& from, const std::filesystem::path& to) {
      const DWORD attributes = GetFileAttributesW(to.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & (kReadOnly | kHidden)))
        return RenameRetry::Result{RenameRetry::Outcome::kHeld, "Access is denied. (5)"};
      if (!c.renameWorks) return RenameRetry::Result{RenameRetry::Outcome::kFailed, "disk"};
      return SystemRename(from, to);
    };
    DiskFileStore store(tmp.Path(), nullptr, retry);
    WriteBytes(t1, "old");
    SetFileAttributesW(t1.c_str(), c.before);
    if (c.renameWorks)
      EXPECT_NO_THROW(store.Replace("T1.txt", "new"));
    else
      EXPECT_THROW(store.Replace("T1.txt", "new"), FileError);
    EXPECT_EQ(ReadBytes(t1), c.renameWorks ? "new" : "old");
    EXPECT_EQ(GetFileAttributesW(t1.c_str()) & (kReadOnly | kHidden | kSystem), c.after);
    SetFileAttributesW(t1.c_str(), FILE_ATTRIBUTE_NORMAL);
  }
  // The journal's and the start failures' appends too.
  TempDir tmp;
  WriteBytes(tmp.Path() / "log.txt", "a");
  SetFileAttributesW((tmp.Path() / "log.txt").c_str(), kReadOnly);
  EXPECT_NO_THROW(DiskFileStore(tmp.Path()).Append("log.txt", "b"));
  EXPECT_EQ(ReadBytes(tmp.Path() / "log.txt"), "ab");
}
#endif

#ifdef _WIN32
// A host built for the ANSI code page creates the menu tables through it: on a system
// whose code page is not 936 the file's name is the GBK bytes read in that code page.
TEST(TxtFolder, FindsATableAnAnsiHostNamedThroughItsCodePage) {
  if (GetACP() == 936) GTEST_SKIP() << "the ANSI code page is GBK: both names are one";
  TempDir tmp;
  TxtFolder folder(tmp.Path());
  const std::string ansiPath = tmp.Path().string() + "\\" + Utf8ToGbk("菜品表.txt");
  HANDLE h = CreateFileA(ansiPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(h, "ansi", 4, &written, nullptr);
  CloseHandle(h);
  EXPECT_TRUE(folder.Exists("菜品表.TXT"));
  EXPECT_EQ(folder.Read("菜品表.txt").value_or("none"), "ansi");
  EXPECT_FALSE(folder.Exists("客户要求表.txt"));
  // The name itself comes first.
  WriteBytes(tmp.Path() / Utf8Path("菜品表.txt"), "unicode");
  EXPECT_EQ(folder.Read("菜品表.txt").value_or("none"), "unicode");
}
#endif

// The folder in memory that fuzzing and simulation run on keeps the disk folder's rules:
// names without case, an existing file keeps its name, a failed write changes nothing and
// files saved together are saved all or none.
TEST(MemoryFileStore, KeepsTheFolderRulesAndFailedWritesChangeNothing) {
  auto store = std::make_shared<MemoryFileStore>();
  const TxtFolder txt(store);
  struct Step {
    const char* what;
    std::function<void()> act;
    bool throws;
    Files after;
  } steps[] = {
      {"the host writes", [&] { store->Write("DCJ.txt", "host"); }, false, {{"DCJ.txt", "host"}}},
      {"a name in another case is the same file",
       [&] { txt.Write("dcj.TXT", "ours"); },
       false,
       {{"DCJ.txt", "ours"}}},
      {"a failing file keeps its contents",
       [&] {
         store->FailWrites("Dcj.Txt");
         txt.Write("DCJ.txt", "lost");
       },
       true,
       {{"DCJ.txt", "ours"}}},
      {"one failing file fails the files saved with it",
       [&] {
         txt.WriteTogether({{"JZ.txt", "jz"}, {"dcj.txt", "dcj"}});
       },
       true,
       {{"DCJ.txt", "ours"}}},
      {"appends fail too", [&] { store->Append("DCJ.txt", "+"); }, true, {{"DCJ.txt", "ours"}}},
      {"the host still writes",
       [&] { store->Write("dcj.txt", "host 2"); },
       false,
       {{"DCJ.txt", "host 2"}}},
      {"healed, files are saved together",
       [&] {
         store->FailWrites("DCJ.TXT", false);
         txt.WriteTogether({{"jz.txt", "jz"}, {"dcj.txt", "dcj"}});
       },
       false,
       {{"DCJ.txt", "dcj"}, {"jz.txt", "jz"}}},
      {"append and remove by any case",
       [&] {
         store->Append("JZ.TXT", "+");
         store->Remove("Dcj.txt");
       },
       false,
       {{"jz.txt", "jz+"}}},
      {"every write failing",
       [&] {
         store->FailAllWrites();
         txt.Write("new.txt", "x");
       },
       true,
       {{"jz.txt", "jz+"}}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    if (step.throws)
      EXPECT_THROW(step.act(), FileError);
    else
      EXPECT_NO_THROW(step.act());
    Files files;
    for (const std::string& name : store->Names()) files[name] = txt.Read(name).value_or("?");
    EXPECT_EQ(files, step.after);
  }
  const auto prefix = txt.ReadPrefix("JZ.txt", 2);
  ASSERT_TRUE(prefix.has_value());
  EXPECT_EQ(prefix->bytes, "jz");
  EXPECT_EQ(prefix->size, 3u);
  EXPECT_THROW(txt.PathOf("JZ.txt"), std::logic_error);  // no path to hand anyone
}

TEST(FormModel, ControlsByNameWithVersionsAndBoundedLines) {
  ManualLoop loop;
  FormModel form(loop);
  int changes = 0;
  form.onChange = [&](const Control&) { ++changes; };
  Control& memo = form["Memo1"];
  EXPECT_EQ(&memo, &form.At("Memo", 1));
  memo.SetMaxLines(3);
  for (int i = 0; i < 5; ++i) memo.AddLine(std::to_string(i));
  EXPECT_EQ(memo.Lines(), (std::vector<std::string>{"2", "3", "4"}));
  auto v = memo.Version();
  memo.SetText(memo.Text());  // no change, no version
  EXPECT_EQ(memo.Version(), v);
  EXPECT_EQ(changes, 5);
  EXPECT_EQ(&form.TimerNamed("ComTimer"), &form.TimerNamed("ComTimer"));
  // Any number, and a family name too long to be put together on the stack.
  EXPECT_EQ(&form.At("Edit", -1), &form["Edit-1"]);
  const std::string family(80, 'x');
  EXPECT_EQ(&form.At(family, 12), &form[family + "12"]);
  // The table grows far beyond its first size: every name still finds its own control.
  for (int i = 0; i < 1000; ++i) form.At("Label", i).SetText(std::to_string(i));
  EXPECT_EQ(&memo, &form["Memo1"]);
  EXPECT_EQ(form["Label500"].Name(), "Label500");
  EXPECT_EQ(form["Label500"].Text(), "500");
  EXPECT_TRUE(form.Has("Label999"));
  EXPECT_FALSE(form.Has("Label1000"));
}

}  // namespace
}  // namespace ol
