// What the crash tests of a journaled container index expect: a writer's rounds of appends and
// updates, each ending in a Flush, decided by a seed so that the test can tell which records
// every completed round left; and the check that a file holds exactly one of the states a crash
// may leave, with valid CRCs and header counts.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "index_test_util.h"

namespace crashmodel {

using namespace idxtest;

struct ModelRecord {
  uint64_t key;
  uint64_t value;
  uint32_t deleted;
};

struct Model {
  std::vector<ModelRecord> records;
  uint64_t lastKey = 0;
  uint64_t Deleted() const {
    uint64_t n = 0;
    for (const auto& r : records) n += r.deleted != 0;
    return n;
  }
};

// The file-system calls of a writer of the journaled index at `path`, by what they do.
enum CrashPoint : uint64_t {
  kOpen = 1, kJournalWrite, kJournalFlush, kJournalRename, kFolderFlush, kPageWrite, kIndexFlush,
  kJournalRemove, kOther, kCrashPoints
};

inline const char* CrashPointName(uint64_t p) {
  static const char* names[] = {"",          "open",       "journal write", "journal flush", "journal rename",
                                "folder flush", "page write", "index flush",   "journal remove", "other"};
  return p < kCrashPoints ? names[p] : "?";
}

inline uint64_t Classify(platform::FsOp op, const std::string& p, const std::string& path) {
  using platform::FsOp;
  const bool tmp = p == path + ".change.tmp";
  switch (op) {
    case FsOp::Open: return kOpen;
    case FsOp::Write: return tmp ? kJournalWrite : p == path ? kPageWrite : kOther;
    case FsOp::Seek: return p == path ? kPageWrite : tmp ? kJournalWrite : kOther;
    case FsOp::Flush: return tmp ? kJournalFlush : p == path ? kIndexFlush : kFolderFlush;
    case FsOp::Rename: return kJournalRename;
    case FsOp::Remove: return kJournalRemove;
    default: return kOther;
  }
}

inline SSfileContainerIndexEntry ToEntry(const ModelRecord& m) {
  SSfileContainerIndexEntry r{};
  r.Key = m.key;
  r.DataFileOffset = m.value;
  r.DataLength = m.value ^ m.key;
  r.OwnerValue0 = ~m.value;
  r.ContainerNo = static_cast<uint32_t>(m.value);
  r.Flags = FLAG_SFILE_ENTRY_VALID;
  r.Deleted = m.deleted;
  return r;
}

// One round of the writer's work, decided by (seed, round) and the records present.
struct Round {
  std::vector<ModelRecord> appends;
  std::vector<std::pair<size_t, ModelRecord>> updates;
};

inline Round PlanRound(const Model& m, uint64_t seed, uint64_t round) {
  std::mt19937_64 rng(seed * 1000003 + round);
  Round r;
  uint64_t key = m.lastKey;
  const int appends = 1 + static_cast<int>(rng() % 40);
  for (int i = 0; i < appends; ++i) {
    key += 1 + rng() % 3;
    r.appends.push_back(ModelRecord{key, rng(), rng() % 4 == 0 ? 1u : 0u});
  }
  if (!m.records.empty()) {
    const int updates = static_cast<int>(rng() % 8);
    for (int i = 0; i < updates; ++i) {
      const size_t at = rng() % m.records.size();
      ModelRecord changed = m.records[at];
      changed.value = rng();
      changed.deleted = changed.deleted ? 0 : 1;
      r.updates.emplace_back(at, changed);
    }
  }
  return r;
}

inline void Apply(Model& m, const Round& r) {
  for (const auto& [at, rec] : r.updates) m.records[at] = rec;
  for (const auto& rec : r.appends) m.records.push_back(rec);
  if (!r.appends.empty()) m.lastKey = r.appends.back().key;
}

// The state after `rounds` rounds of `seed` from `start`.
inline Model After(const Model& start, uint64_t seed, uint64_t rounds) {
  Model m = start;
  for (uint64_t r = 0; r < rounds; ++r) Apply(m, PlanRound(m, seed, r));
  return m;
}

// The writer's rounds on an open index: `flushed` hears of each completed Flush. 0 when all ran,
// else the step that failed (4 update, 5 append, 6 flush).
inline int RunRounds(SFileIndex& idx, Model m, uint64_t seed, uint64_t rounds,
                     const std::function<void(uint64_t done)>& flushed) {
  for (uint64_t round = 0; round < rounds; ++round) {
    const Round r = PlanRound(m, seed, round);
    for (const auto& [at, rec] : r.updates) {
      SSfileContainerIndexEntry e = ToEntry(rec);
      if (idx.UpdateEntry(static_cast<int64_t>(at), &e).IsFailure()) return 4;
    }
    for (const auto& rec : r.appends) {
      SSfileContainerIndexEntry e = ToEntry(rec);
      if (idx.AddEntry(&e).IsFailure()) return 5;
    }
    if (idx.Flush().IsFailure()) return 6;
    Apply(m, r);
    flushed(round + 1);
  }
  return 0;
}

// Reads every record and the header counts; empty when the open file matches `m`. Records are
// read with their CRCs checked.
inline std::string Compare(SFileIndex& idx, const Model& m, bool aligned) {
  if (idx.m_Header.TotalEntries != m.records.size()) {
    return "total " + std::to_string(idx.m_Header.TotalEntries) + " expected " + std::to_string(m.records.size());
  }
  if (!aligned && idx.m_Header.DeletedEntries != m.Deleted()) {
    return "deleted " + std::to_string(idx.m_Header.DeletedEntries) + " expected " + std::to_string(m.Deleted());
  }
  for (size_t i = 0; i < m.records.size(); ++i) {
    SSfileContainerIndexEntry got;
    CXoError e = idx.GetEntry(static_cast<int64_t>(i), &got);
    if (e.IsFailure()) return "record " + std::to_string(i) + ": " + e.AsString();
    SSfileContainerIndexEntry want = ToEntry(m.records[i]);
    want.CRC32 = got.CRC32;
    if (memcmp(&got, &want, sizeof(got)) != 0) return "record " + std::to_string(i) + " differs";
  }
  return "";
}

// Opens the file as a crash left it and finds which of `candidates` it holds (into `now`). With
// `replayHere` it then opens it read-write, which replays a journal, and checks that the file
// on disk holds the same, without a journal, under a whole header.
inline void VerifyState(const CFSInitParams& params, const std::string& path, bool aligned,
                        const std::vector<Model>& candidates, bool replayHere, Model& now) {
  SFileIndex reader(&params, nullptr);
  auto opt = Opts<SFileIndex>(aligned, aligned);
  CXoError e = reader.Open(path, 1, opt);
  ASSERT_TRUE(e.IsSuccess()) << e.AsString();
  std::string why;
  size_t found = candidates.size();
  for (size_t i = 0; i < candidates.size() && found == candidates.size(); ++i) {
    std::string d = Compare(reader, candidates[i], aligned);
    if (d.empty()) found = i;
    why += (why.empty() ? "" : " / ") + d;
  }
  ASSERT_LT(found, candidates.size()) << "none of the states: " << why;
  now = candidates[found];
  ASSERT_TRUE(reader.Close().IsSuccess());
  if (!replayHere) return;

  SFileIndex writer(&params, nullptr);
  e = writer.Open(path, 2, opt);
  ASSERT_TRUE(e.IsSuccess()) << e.AsString();
  ASSERT_EQ(Compare(writer, now, aligned), "");
  ASSERT_TRUE(writer.Close().IsSuccess());
  ASSERT_FALSE(Exists(path + ".change"));
  const std::string header = ReadFile(path).substr(0, 128);
  ASSERT_EQ(GetBE32(header, 124), Crc(header, 0, 124));
  if (!aligned) {
    ASSERT_EQ(GetBE64(header, 24), now.records.size());
    ASSERT_EQ(GetBE64(header, 16), now.Deleted());
  }
}

// A container index in a folder of its own, and the state the test knows it to hold.
class CrashFixture {
 protected:
  void Start(bool aligned) {
    aligned_ = aligned;
    Recreate();
  }

  typename SFileIndex::Options Options() const { return Opts<SFileIndex>(aligned_, aligned_); }

  // Empties the file, outside any fault, and forgets what it held.
  void Recreate() {
    SFileIndex idx(&params_, nullptr);
    auto opt = Options();
    ASSERT_TRUE(idx.Create(path_, opt).IsSuccess());
    ASSERT_TRUE(idx.Close().IsSuccess());
    model_ = Model();
  }

  bool aligned_ = false;
  TempDir dir_;
  std::string path_ = dir_.File("SFILE_CONTAINER.idx");
  CFSInitParams params_ = Params();
  Model model_;
};

}  // namespace crashmodel
