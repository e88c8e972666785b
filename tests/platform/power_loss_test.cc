// The power-loss switch of the disk layer: sequences of writes, flushes and name changes, each
// followed by a power cut in both modes, against what a disk may keep; the layer failing with
// EIO from the cut until the power returns; and the helper that cuts a writer's power.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "power_cut.h"
#include "temp_dir.h"
#include "test_seed.h"
#include "test_env.h"

namespace {

using platform::Faults;
using platform::FsOp;
using platform::PowerCutMode;

constexpr size_t kPage = 4096;

// Cuts per case of the tests that try many seeds: MFS_POWER_CUTS lengthens them.
uint64_t PowerCuts(uint64_t atLeast) {
  return std::max(atLeast, mfstest::EnvCount<uint64_t>("MFS_POWER_CUTS", atLeast));
}

// Whole pages of the given letters ('0' a page of zeros).
std::string P(const std::string& letters) {
  std::string bytes;
  for (char c : letters) bytes.append(kPage, c == '0' ? '\0' : c);
  return bytes;
}
std::string Fill(char c, size_t n) { return std::string(n, c); }

// One step of a sequence; names are relative to the test's folder.
struct Step {
  enum Kind { kWrite, kFlush, kFlushFolder, kRename, kRemove, kTruncate, kHole, kMakeFolder, kRemoveFolder, kOpenTrunc };
  Kind kind;
  std::string name;
  std::string other;  // rename target
  size_t offset = 0;
  std::string bytes;  // kWrite; kTruncate and kHole use its size
};

Step Write(const std::string& name, size_t offset, const std::string& bytes) {
  return {Step::kWrite, name, "", offset, bytes};
}
Step Flush(const std::string& name) { return {Step::kFlush, name, "", 0, ""}; }
Step FlushFolder(const std::string& name = ".") { return {Step::kFlushFolder, name, "", 0, ""}; }
Step Rename(const std::string& from, const std::string& to) { return {Step::kRename, from, to, 0, ""}; }
Step Remove(const std::string& name) { return {Step::kRemove, name, "", 0, ""}; }
Step Truncate(const std::string& name, size_t size) { return {Step::kTruncate, name, "", 0, std::string(size, 'x')}; }
Step Hole(const std::string& name, size_t offset, size_t length) {
  return {Step::kHole, name, "", offset, std::string(length, 'x')};
}
Step MakeFolder(const std::string& name) { return {Step::kMakeFolder, name, "", 0, ""}; }
Step RemoveFolder(const std::string& name) { return {Step::kRemoveFolder, name, "", 0, ""}; }
Step OpenTruncating(const std::string& name) { return {Step::kOpenTrunc, name, "", 0, ""}; }

// A folder's tree: files by relative name with their bytes, folders with a trailing '/'.
using Tree = std::map<std::string, std::string>;
// A state a cut may leave: the names, and for each file the versions its pages may come from.
using Allowed = std::map<std::string, std::vector<std::string>>;

struct Case {
  const char* name;
  Tree before;               // made before the switch: all of it flushed
  std::vector<Step> steps;   // with the switch on
  Tree afterDrop;            // exactly what drop mode leaves
  std::vector<Allowed> afterRandom;  // every state random mode may leave; each one occurs
};

class PowerLossTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs_.reset(CFSInterface::GetFSInterfaceInstance(CFSInitParams{}));
  }

  std::string Path(const std::string& name) const { return name == "." ? dir_.path() : dir_ / name; }

  CFileInterface& File(const std::string& name) {
    auto& file = files_[name];
    if (!file) {
      file.reset(CFileInterface::GetFileInterfaceInstance(CFSInitParams{}));
      EXPECT_TRUE(file->Open(Path(name), O_RDWR | O_CREAT, 0644, 0).IsSuccess()) << name;
    }
    return *file;
  }

  void Make(const Tree& tree) {
    for (const auto& [name, bytes] : tree) {
      if (name.back() == '/') {
        std::filesystem::create_directories(Path(name.substr(0, name.size() - 1)));
        continue;
      }
      std::filesystem::create_directories(std::filesystem::path(Path(name)).parent_path());
      FILE* f = fopen(Path(name).c_str(), "wb");
      ASSERT_NE(f, nullptr);
      ASSERT_EQ(bytes.size(), fwrite(bytes.data(), 1, bytes.size(), f));
      fclose(f);
    }
  }

  void Run(const Step& s) {
    SCOPED_TRACE("step on " + s.name);
    unsigned int done = 0;
    switch (s.kind) {
      case Step::kWrite: {
        CFileInterface& f = File(s.name);
        ASSERT_TRUE(f.Seek(static_cast<CXoFile::offset>(s.offset), SEEK_SET, nullptr).IsSuccess());
        ASSERT_TRUE(f.Write(s.bytes.data(), static_cast<unsigned int>(s.bytes.size()), &done).IsSuccess());
        return;
      }
      case Step::kFlush:
        ASSERT_TRUE(File(s.name).Flush().IsSuccess());
        return;
      case Step::kFlushFolder: {
        // As the index flushes a folder; the folder's path spelled with a "/." to show that
        // the model knows it however it is written.
        std::unique_ptr<CFileInterface> folder(CFileInterface::GetFileInterfaceInstance(CFSInitParams{}));
        ASSERT_TRUE(folder->Open(Path(s.name) + "/.", O_RDONLY | O_DIRECTORY, 0, 0).IsSuccess());
        ASSERT_TRUE(folder->Flush().IsSuccess());
        ASSERT_TRUE(folder->Close().IsSuccess());
        return;
      }
      case Step::kRename:
        ASSERT_TRUE(fs_->Rename(Path(s.name), Path(s.other), 0).IsSuccess());
        return;
      case Step::kRemove:
        ASSERT_TRUE(fs_->RemoveFile(Path(s.name), 0).IsSuccess());
        return;
      case Step::kTruncate:
        ASSERT_TRUE(File(s.name).Truncate(static_cast<CXoFile::offset>(s.bytes.size())).IsSuccess());
        return;
      case Step::kHole:
        ASSERT_TRUE(File(s.name).DrillHole(s.offset, s.bytes.size()).IsSuccess());
        return;
      case Step::kMakeFolder:
        ASSERT_TRUE(fs_->CreateDirectory(Path(s.name), true).IsSuccess());
        return;
      case Step::kRemoveFolder:
        ASSERT_TRUE(fs_->RemoveDirectory(Path(s.name), 0).IsSuccess());
        return;
      case Step::kOpenTrunc: {
        auto& file = files_[s.name];
        file.reset(CFileInterface::GetFileInterfaceInstance(CFSInitParams{}));
        ASSERT_TRUE(file->Open(Path(s.name), O_RDWR | O_CREAT | O_TRUNC, 0644, 0).IsSuccess());
        return;
      }
    }
  }

  Tree Snapshot() const {
    Tree tree;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_.path())) {
      std::string name = entry.path().string().substr(dir_.path().size() + 1);
      if (entry.is_directory()) {
        tree[name + "/"] = "";
        continue;
      }
      std::string bytes;
      FILE* f = fopen(entry.path().c_str(), "rb");
      char buffer[4096];
      for (size_t n; f != nullptr && (n = fread(buffer, 1, sizeof(buffer), f)) > 0;) bytes.append(buffer, n);
      if (f != nullptr) fclose(f);
      tree[name] = bytes;
    }
    return tree;
  }

  // Runs the case once with a cut in `mode`; the folder is emptied first.
  Tree RunCase(const Case& c, PowerCutMode mode, uint64_t seed, platform::PowerCutReport* report = nullptr) {
    files_.clear();
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) std::filesystem::remove_all(entry);
    Make(c.before);
    Faults().SetPowerLossModel(true);
    for (const Step& s : c.steps) {
      Run(s);
      if (::testing::Test::HasFatalFailure()) return {};
    }
    platform::PowerCutReport r = Faults().CutPower(mode, seed);
    EXPECT_TRUE(r.errors.empty()) << r.errors.front();
    files_.clear();  // the writer's objects go while the power is off
    Faults().RestorePower();
    Faults().SetPowerLossModel(false);
    if (report != nullptr) *report = r;
    return Snapshot();
  }

  TempDir dir_;
  std::unique_ptr<CFSInterface> fs_;
  std::map<std::string, std::unique_ptr<CFileInterface>> files_;
};

// Whether `bytes` could be what a cut left of a file whose pages each come from one of
// `versions`: its size is one of theirs or a page boundary between, and each page equals the
// same page of some version (zeros past a version's end).
bool PagesFrom(const std::string& bytes, const std::vector<std::string>& versions) {
  size_t lo = SIZE_MAX, hi = 0;
  for (const std::string& v : versions) {
    lo = std::min(lo, v.size());
    hi = std::max(hi, v.size());
  }
  bool sizeFits = bytes.size() % kPage == 0 && bytes.size() >= lo && bytes.size() <= hi;
  for (const std::string& v : versions) sizeFits = sizeFits || v.size() == bytes.size();
  if (!sizeFits) return false;
  for (size_t at = 0; at < bytes.size(); at += kPage) {
    const std::string page = bytes.substr(at, kPage);
    bool found = false;
    for (const std::string& v : versions) {
      std::string same = at < v.size() ? v.substr(at, page.size()) : "";
      same.resize(page.size(), '\0');
      found = found || same == page;
    }
    if (!found) return false;
  }
  return true;
}

bool Fits(const Tree& got, const Allowed& allowed) {
  if (got.size() != allowed.size()) return false;
  for (const auto& [name, bytes] : got) {
    auto it = allowed.find(name);
    if (it == allowed.end()) return false;
    if (name.back() != '/' && !PagesFrom(bytes, it->second)) return false;
  }
  return true;
}

std::string Show(const Tree& tree) {
  std::string text;
  for (const auto& [name, bytes] : tree) text += name + "(" + std::to_string(bytes.size()) + ") ";
  return text.empty() ? "(empty)" : text;
}

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"a flushed write survives",
       {},
       {Write("a", 0, P("A")), Flush("a"), FlushFolder()},
       {{"a", P("A")}},
       {{{"a", {P("A")}}}}},
      {"unflushed writes and appends are lost, page by page",
       {{"a", P("AA")}},
       {Write("a", kPage, P("B")), Write("a", 2 * kPage, P("CC"))},
       {{"a", P("AA")}},
       {{{"a", {P("AA"), P("ABCC")}}}}},
      {"a write after the flush is lost, the flushed one stays",
       {},
       {Write("a", 0, P("A")), Flush("a"), FlushFolder(), Write("a", 0, Fill('B', 100))},
       {{"a", P("A")}},
       {{{"a", {P("A"), Fill('B', 100) + Fill('A', kPage - 100)}}}}},
      {"a new file's name needs its folder flushed",
       {},
       {Write("a", 0, P("A")), Flush("a")},
       {},
       {{}, {{"a", {P("A")}}}}},
      {"a folder flush makes the name durable, not the bytes",
       {},
       {Write("a", 0, P("AA")), FlushFolder()},
       {{"a", ""}},
       {{{"a", {"", P("AA")}}}}},
      {"a rename without a folder flush may be lost",
       {{"a", P("A")}, {"b", P("B")}},
       {Rename("b", "a")},
       {{"a", P("A")}, {"b", P("B")}},
       {{{"a", {P("A")}}, {"b", {P("B")}}}, {{"a", {P("B")}}}}},
      {"a rename followed by a folder flush is durable",
       {{"a", P("A")}, {"b", P("B")}},
       {Rename("b", "a"), FlushFolder()},
       {{"a", P("B")}},
       {{{"a", {P("B")}}}}},
      {"a rename before the file's flush may leave an empty file under the new name",
       {},
       {Write("t", 0, P("AA")), Rename("t", "j"), FlushFolder()},
       {{"j", ""}},
       {{{"j", {"", P("AA")}}}}},
      {"a removed file comes back with its flushed bytes",
       {{"a", P("A")}},
       {Write("a", 0, P("B")), Remove("a")},
       {{"a", P("A")}},
       {{{"a", {P("A")}}}, {}}},
      {"a removal followed by a folder flush is durable",
       {{"a", P("A")}},
       {Remove("a"), FlushFolder()},
       {},
       {{}}},
      {"a truncation is undone, or reaches the disk whole",
       {{"a", P("AB")}},
       {Truncate("a", 100)},
       {{"a", P("AB")}},
       {{{"a", {P("AB")}}}, {{"a", {Fill('A', 100)}}}}},
      {"a punched hole is filled again",
       {{"a", P("AB")}},
       {Hole("a", 0, kPage)},
       {{"a", P("AB")}},
       {{{"a", {P("AB"), P("0B")}}}}},
      {"emptying a file on open is undone, or nothing of the old bytes stays",
       {{"a", P("AB")}},
       {OpenTruncating("a"), Write("a", 0, P("C"))},
       {{"a", P("AB")}},
       {{{"a", {P("AB")}}}, {{"a", {P("C"), ""}}}}},
      {"writes after a truncation are lost with it",
       {{"a", P("ABC")}},
       {Write("a", 0, P("X")), Truncate("a", kPage), Write("a", kPage, P("Y"))},
       {{"a", P("ABC")}},
       {{{"a", {P("ABC")}}}, {{"a", {P("A"), P("XY")}}}}},
      {"a flush of one file leaves another's writes unflushed",
       {{"a", P("A")}, {"b", P("B")}},
       {Write("a", 0, P("X")), Write("b", 0, P("Y")), Flush("a")},
       {{"a", P("X")}, {"b", P("B")}},
       {{{"a", {P("X")}}, {"b", {P("B"), P("Y")}}}}},
      {"name changes survive in order: a prefix of them",
       {},
       {Write("a", 0, ""), Write("b", 0, ""), Write("c", 0, "")},
       {},
       {{}, {{"a", {""}}}, {{"a", {""}}, {"b", {""}}}, {{"a", {""}}, {"b", {""}}, {"c", {""}}}}},
      {"a folder not flushed into its parent is lost with everything in it",
       {},
       {MakeFolder("d"), Write("d/a", 0, P("A")), Flush("d/a"), FlushFolder("d")},
       {},
       {{}, {{"d/", {}}, {"d/a", {P("A")}}}}},
      {"a rename between folders needs both flushed",
       {{"d1/a", P("A")}, {"d2/", ""}},
       {Rename("d1/a", "d2/a"), FlushFolder("d2")},
       {{"d1/", ""}, {"d1/a", P("A")}, {"d2/", ""}},
       {{{"d1/", {}}, {"d1/a", {P("A")}}, {"d2/", {}}}, {{"d1/", {}}, {"d2/", {}}, {"d2/a", {P("A")}}}}},
      {"a removed folder comes back",
       {{"d/", ""}},
       {RemoveFolder("d")},
       {{"d/", ""}},
       {{{"d/", {}}}, {}}},
  };
  return cases;
}

TEST_F(PowerLossTest, DropModeLeavesExactlyTheFlushedState) {
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    Tree got = RunCase(c, PowerCutMode::kDropUnflushed, 1);
    if (HasFatalFailure()) return;
    Tree want = c.afterDrop;
    EXPECT_EQ(Show(want), Show(got));
    EXPECT_TRUE(got == want);
  }
}

// Over many seeds every state a case allows occurs, and nothing else does.
TEST_F(PowerLossTest, RandomModeLeavesOnlyStatesADiskMayHold) {
  const uint64_t seeds = PowerCuts(48);
  const uint64_t first = mfstest::Seed(0) + 1;
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    std::vector<int> seen(c.afterRandom.size(), 0);
    std::set<Tree> distinct;
    for (uint64_t seed = first; seed != first + seeds; ++seed) {
      SCOPED_TRACE("seed " + std::to_string(seed));
      Tree got = RunCase(c, PowerCutMode::kRandomPages, seed);
      if (HasFatalFailure()) return;
      bool fits = false;
      for (size_t i = 0; i < c.afterRandom.size(); ++i) {
        if (Fits(got, c.afterRandom[i])) {
          ++seen[i];
          fits = true;
          break;
        }
      }
      EXPECT_TRUE(fits) << Show(got);
      distinct.insert(got);
    }
    for (size_t i = 0; i < seen.size(); ++i) EXPECT_GT(seen[i], 0) << "state " << i << " never occurred";
    bool variable = c.afterRandom.size() > 1;
    for (const auto& [name, versions] : c.afterRandom.front()) variable = variable || versions.size() > 1;
    if (variable) {
      EXPECT_GT(distinct.size(), 1u) << "the seed changed nothing";
    }
  }
}

// Within one file, some unflushed pages survive and others do not: the disk wrote some back.
TEST_F(PowerLossTest, RandomModeMixesPagesOfOneFile) {
  const Case c{"", {{"a", P("AAAA")}}, {Write("a", 0, P("BBBBBBBB"))}, {}, {}};
  std::set<std::string> shapes;
  const uint64_t first = mfstest::Seed(0) + 1;
  for (uint64_t seed = first; seed != first + PowerCuts(32); ++seed) {
    platform::PowerCutReport report;
    Tree got = RunCase(c, PowerCutMode::kRandomPages, seed, &report);
    if (HasFatalFailure()) return;
    EXPECT_EQ(seed, report.seed);
    ASSERT_TRUE(PagesFrom(got["a"], {P("AAAA"), P("BBBBBBBB")}));
    std::string shape;
    for (size_t at = 0; at < got["a"].size(); at += kPage) shape += got["a"][at];
    shapes.insert(shape);
  }
  bool mixed = false;
  for (const std::string& s : shapes) mixed = mixed || (s.find('A') != std::string::npos && s.find('B') != std::string::npos);
  EXPECT_TRUE(mixed);
  EXPECT_GT(shapes.size(), 4u);
  // The same seed leaves the same file.
  EXPECT_EQ(RunCase(c, PowerCutMode::kRandomPages, 5), RunCase(c, PowerCutMode::kRandomPages, 5));
}

TEST_F(PowerLossTest, EveryCallFailsWithEioUntilThePowerReturns) {
  Make({{"a", P("A")}});
  Faults().SetPowerLossModel(true);
  CFileInterface& f = File("a");
  ASSERT_TRUE(f.Write(P("B").data(), kPage, nullptr).IsSuccess());  // unflushed
  ASSERT_TRUE(Faults().CutPower(PowerCutMode::kDropUnflushed, 1).errors.empty());
  EXPECT_TRUE(Faults().PowerIsOff());

  char buffer[16];
  unsigned int done = 0;
  CXoFile::offset at = 0;
  unsigned long long size = 0;
  FSPathInfo info;
  std::vector<FSDirEntry> entries;
  const std::string a = Path("a");
  const std::vector<std::pair<const char*, std::function<CXoError()>>> calls = {
      {"write", [&] { return f.Write("x", 1, &done); }},
      {"read", [&] { return f.Read(buffer, sizeof(buffer), &done); }},
      {"seek", [&] { return f.Seek(0, SEEK_SET, nullptr); }},
      {"tell", [&] { return f.Tell(at); }},
      {"size", [&] { return f.Size(size); }},
      {"truncate", [&] { return f.Truncate(0); }},
      {"hole", [&] { return f.DrillHole(0, 10); }},
      {"flush", [&] { return f.Flush(); }},
      {"lock", [&] { return f.LockFile(false); }},
      {"read-ahead", [&] { return f.SetReadAheadCaching(true); }},
      {"open", [&] {
         std::unique_ptr<CFileInterface> g(CFileInterface::GetFileInterfaceInstance(CFSInitParams{}));
         return g->Open(Path("new"), O_RDWR | O_CREAT, 0644, 0);
       }},
      {"rename", [&] { return fs_->Rename(a, Path("b"), 0); }},
      {"remove", [&] { return fs_->RemoveFile(a, 0); }},
      {"create folder", [&] { return fs_->CreateDirectory(Path("d"), false); }},
      {"remove folder", [&] { return fs_->RemoveDirectory(dir_.path(), 0); }},
      {"chmod", [&] { return fs_->Chmod(a, 0600); }},
      {"stat", [&] { return fs_->Stat(a, info); }},
      {"list", [&] { return fs_->GetDirContents(dir_.path(), entries); }},
      {"free space", [&] {
         unsigned long long total = 0, free = 0;
         return fs_->GetFreeSpace(a, total, free);
       }},
      {"close", [&] { return f.Close(); }},  // last: the descriptor goes all the same
  };
  for (const auto& [what, call] : calls) {
    CXoError e = call();
    EXPECT_TRUE(FXErrorUtil::IsErrNo(e, EIO)) << what << ": " << e.AsString();
  }
  EXPECT_FALSE(f.IsValid());
  EXPECT_EQ((Tree{{"a", P("A")}}), Snapshot());  // nothing reached the disk after the cut

  Faults().RestorePower();
  EXPECT_FALSE(Faults().PowerIsOff());
  ASSERT_TRUE(f.Open(a, O_RDWR, 0, 0).IsSuccess());
  ASSERT_TRUE(f.Write(P("C").data(), kPage, &done).IsSuccess());
  ASSERT_TRUE(f.Flush().IsSuccess());
  ASSERT_TRUE(fs_->Rename(a, Path("b"), 0).IsSuccess());
}

// What was on disk when the switch went on counts as flushed; turned off, the model forgets.
TEST_F(PowerLossTest, TheSwitchStartsAndEndsTheModel) {
  Faults().SetPowerLossModel(false);
  platform::PowerCutReport off = Faults().CutPower(PowerCutMode::kDropUnflushed, 3);
  EXPECT_FALSE(off.errors.empty());
  EXPECT_FALSE(Faults().PowerIsOff());

  ASSERT_TRUE(File("a").Write(P("A").data(), kPage, nullptr).IsSuccess());  // before the switch
  Faults().SetPowerLossModel(true);
  ASSERT_TRUE(File("a").Write(P("B").data(), kPage, nullptr).IsSuccess());
  Faults().SetPowerLossModel(false);  // forgets that B was not flushed
  Faults().SetPowerLossModel(true);
  platform::PowerCutReport report = Faults().CutPower(PowerCutMode::kDropUnflushed, 3);
  EXPECT_EQ(0, report.filesReverted);
  EXPECT_EQ(0, report.namesUndone);
  Faults().RestorePower();
  EXPECT_EQ((Tree{{"a", P("AB")}}), Snapshot());
}

// The reset of every test turns the switch off and the power on.
TEST_F(PowerLossTest, ResetTurnsThePowerBackOn) {
  Faults().SetPowerLossModel(true);
  (void)Faults().CutPower(PowerCutMode::kDropUnflushed, 1);
  platform::ResetAll();
  EXPECT_FALSE(Faults().PowerIsOff());
  EXPECT_TRUE(File("a").Write("x", 1, nullptr).IsSuccess());
  EXPECT_FALSE(Faults().CutPower(PowerCutMode::kDropUnflushed, 1).errors.empty());  // the switch is off
}

// A writer that writes and flushes one page at a time and stops at its first failure.
int PageWriter(const std::string& path, int pages) {
  std::unique_ptr<CFileInterface> f(CFileInterface::GetFileInterfaceInstance(CFSInitParams{}));
  if (f->Open(path, O_RDWR | O_CREAT, 0644, 0).IsFailure()) return 100;
  for (int i = 0; i < pages; ++i) {
    unsigned int done = 0;
    const std::string page = P(std::string(1, static_cast<char>('A' + i)));
    if (f->Write(page.data(), kPage, &done).IsFailure()) return i;
    if (f->Flush().IsFailure()) return 50 + i;
  }
  return pages;
}

TEST_F(PowerLossTest, TheHelperCutsAWriterAtAChosenStep) {
  Make({{"f", ""}});  // the name is durable; the pages are what the cut decides
  for (bool fork : {false, true}) {
    SCOPED_TRACE(fork ? "in a child" : "in the process");
    Make({{"f", ""}});
    powercut::Plan plan;
    plan.mode = PowerCutMode::kRandomPages;
    plan.step = 3;
    plan.counts = [](FsOp op, const std::string&) { return op == FsOp::Write; };
    plan.fork = fork;
    powercut::Result r = powercut::Run(plan, [&] { return PageWriter(Path("f"), 5); });
    SCOPED_TRACE(r.Describe());
    EXPECT_NE(0u, r.seed);  // drawn and handed back
    EXPECT_TRUE(r.cutInWriter);
    EXPECT_EQ(2, r.calls);
    EXPECT_EQ(2, r.writerStatus);  // its third write failed
    EXPECT_TRUE(r.report.errors.empty());
    EXPECT_EQ((Tree{{"f", P("AB")}}), Snapshot());  // both flushed pages, nothing after
    EXPECT_FALSE(Faults().PowerIsOff());
    std::unique_ptr<CFileInterface> f(CFileInterface::GetFileInterfaceInstance(CFSInitParams{}));
    EXPECT_TRUE(f->Open(Path("f"), O_RDWR, 0, 0).IsSuccess());
  }

  // A step past the writer's last call, or none (0): the power goes when it returns.
  for (long step : {1000L, 0L}) {
    SCOPED_TRACE(step);
    powercut::Plan late;
    late.seed = 77;
    late.step = step;
    powercut::Result r = powercut::Run(late, [&] { return PageWriter(Path("g"), 2); });
    EXPECT_FALSE(r.cutInWriter);
    EXPECT_EQ(77u, r.seed);
    EXPECT_EQ(2, r.writerStatus);
    EXPECT_EQ(1, r.report.namesUndone);  // "g" was never flushed into its folder
    EXPECT_EQ(0u, Snapshot().count("g"));
  }
}

}  // namespace
