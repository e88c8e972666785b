// Arbitrary bytes as a chunk's "SFILE_CONTAINER.idx" and two of its containers (headers, compaction
// maps, objects), pruned through the chunk pruner: the index opened, some entries pruned, the
// chunk finalized. The pruner must never crash or read outside its buffers, and no byte of an
// object that the index still says is valid may change in a container that is not compacted.
//
// Input: a byte of flags, two 16-bit lengths (the index's bytes and the first container's), then
// the index, the first container and the second. Flags: bit 0 recomputes the CRCs of the index's
// header and records, so that fuzzing reaches past them; bits 1 to 3 choose the entries to prune
// (every n-th); bits 4 and 5 switch hole drilling and truncation off; bit 6 gives each record's
// owner field as the metadata offset, else its data offset, as the database keeps it. The seeds
// are chunks that the library's own index writer and the container layout make, one with a
// compacted container.

#include <stdlib.h>
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "MediaFileSystem/SingleInstancerPruner.h"
#include "fuzz_seeds.h"
#include "index_fuzz_sandbox.h"
#include "platform/byte_order.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t kRecord = sizeof(SSfileContainerIndexEntry);
constexpr uint32_t kRecordCrcBytes = 48;
constexpr size_t kMaxRecords = 4096;

struct Sandbox {
  std::string root;
  std::string mountPath;
  std::string chunk;
  CFSInitParams params;
};

Sandbox* g_box = nullptr;

void RemoveSandbox() {
  std::error_code ignored;
  if (g_box != nullptr && !g_box->root.empty()) std::filesystem::remove_all(g_box->root, ignored);
}

Sandbox& Box() {
  if (g_box != nullptr) return *g_box;
  platform::ResetAll();
  platform::SetLogCaptureLimit(64);
  g_box = new Sandbox;
  char pattern[] = "/tmp/mfs-fuzz-pruner-XXXXXX";
  const char* root = mkdtemp(pattern);
  if (root == nullptr) abort();
  g_box->root = root;
  atexit(RemoveSandbox);
  g_box->mountPath = path_append(root, "OZ_MAGNETIC");
  g_box->chunk = path_append(path_append(g_box->mountPath, "V_1"), "CHUNK_1");
  g_box->params.m_Host.m_Path = g_box->mountPath;
  return *g_box;
}

std::string ContainerPath(uint32_t n) { return path_append(Box().chunk, SingleInstancer_FS::GetSFileContainerName(n)); }
std::string IndexPath() { return path_append(Box().chunk, "SFILE_CONTAINER.idx"); }

uint32_t Crc(const char* p, size_t n) {
  return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(p), static_cast<uInt>(n)));
}

// The CRCs of the header and of every whole record, as a writer would have made them.
void FixCrcs(std::string& idx) {
  if (idx.size() < kIdxHeaderSize) return;
  EncodeBE32(&idx[124], Crc(idx.data(), kIdxHeaderCrcBytes));
  const uint32_t block = DecodeBE32(idx.data() + 32);
  if (block != 0 && block < kRecord) return;
  for (size_t i = 0; i < kMaxRecords; ++i) {
    const uint64_t at = IndexRecordPosition(static_cast<int64_t>(i), block, kRecord);
    if (at + kRecord > idx.size()) break;
    EncodeBE32(&idx[at + kRecordCrcBytes], Crc(idx.data() + at, kRecordCrcBytes));
  }
}

// The entries as the index gives them, -1 for a file it refuses.
int ReadEntries(std::vector<SSfileContainerIndexEntry>& out) {
  CFSInitParams params = Box().params;
  SingleInstancer_FS::SfileIndex idx(&params, nullptr);
  SingleInstancer_FS::SfileIndex::Options options{};
  if (idx.Open(IndexPath(), 1, options).IsFailure()) return -1;
  int64_t pos = -1;
  SSfileContainerIndexEntry e{};
  CXoError r = idx.GetFirstEntry(&pos, &e);
  while (r.IsSuccess() && pos >= 0 && out.size() < kMaxRecords) {
    out.push_back(e);
    r = idx.GetNextEntry(&pos, &e);
  }
  (void)idx.Close();
  return r.IsSuccess() ? 0 : -1;
}

void Store(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool Overlaps(uint64_t a, uint64_t alen, uint64_t b, uint64_t blen) {
  return a < b + blen && b < a + alen && alen != 0 && blen != 0;
}

// Seeds: two containers of objects and their index, written as the store writes them; the same
// with the second container compacted behind a map.
std::string Input(uint8_t flags, const std::string& idx, const std::string& c0, const std::string& c1) {
  std::string in(1, static_cast<char>(flags));
  for (size_t n : {idx.size(), c0.size()}) {
    in += static_cast<char>(n >> 8);
    in += static_cast<char>(n & 0xFF);
  }
  return in + idx + c0 + c1;
}

std::vector<std::string> Seeds() {
  std::string containers[2];
  std::vector<std::pair<uint32_t, std::pair<uint64_t, uint64_t>>> objects;  // container, offset, length
  for (uint32_t n = 0; n < 2; ++n) {
    std::string c("SFILHDR\0", 8);
    c.resize(128, '\0');
    EncodeBE32(&c[8], 1);
    for (int i = 0; i < 4; ++i) {
      const size_t length = 16 + 200 * (i + 1);
      objects.push_back({n, {c.size(), length}});
      std::string o(length, static_cast<char>('a' + i));
      std::memcpy(o.data(), "10DHGAT", 8);
      c += o;
    }
    containers[n] = c;
  }
  uint64_t key = 0;
  const std::string idx = fuzz::MakeIndexFile<SSfileContainerIndexEntry, g_szSFileIndexHdrMagic>(
      true, objects.size(), [&](SSfileContainerIndexEntry& r, uint64_t k) {
        const auto& [n, where] = objects[k - 1];
        r.Key = ++key;
        r.DataFileOffset = where.first;
        r.DataLength = where.second;
        r.ContainerNo = n;
        r.Flags = FLAG_SFILE_ENTRY_VALID;
      });
  // The second container compacted: its first object dropped, the rest behind a one-run map.
  std::string compacted("SFILHDR\0", 8);
  compacted.resize(128, '\0');
  EncodeBE32(&compacted[8], 2);
  std::string entry(24, '\0');
  EncodeBE64(&entry[0], objects[5].second.first);
  EncodeBE64(&entry[8], 256 + 24);
  std::string mapHeader(128, '\0');
  std::memcpy(mapHeader.data(), kCompactionMapTag, 6);
  EncodeBE32(&mapHeader[8], Crc(entry.data(), entry.size()));
  EncodeBE32(&mapHeader[12], 24);
  EncodeBE32(&mapHeader[16], 1);
  compacted += mapHeader + entry + containers[1].substr(objects[5].second.first);
  return {Input(0x02, idx, containers[0], containers[1]), Input(0x05, idx, containers[0], containers[1]),
          Input(0x03, idx, containers[0], compacted), Input(0x33, idx, containers[0], containers[1])};
}

}  // namespace

MFS_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  Sandbox& box = Box();
  const uint8_t flags = data[0];
  size_t idxLen = static_cast<size_t>(data[1]) << 8 | data[2];
  size_t c0Len = static_cast<size_t>(data[3]) << 8 | data[4];
  const char* rest = reinterpret_cast<const char*>(data + 5);
  size_t left = size - 5;
  idxLen = std::min(idxLen, left);
  c0Len = std::min(c0Len, left - idxLen);
  std::string idx(rest, idxLen);
  const std::string c[2] = {std::string(rest + idxLen, c0Len), std::string(rest + idxLen + c0Len, left - idxLen - c0Len)};
  if (flags & 1) FixCrcs(idx);

  std::error_code ignored;
  std::filesystem::remove_all(box.chunk, ignored);
  std::filesystem::create_directories(box.chunk);
  Store(IndexPath(), idx);
  for (uint32_t n = 0; n < 2; ++n) Store(ContainerPath(n), c[n]);

  platform::Config().SetNumber("ZovadAdeve", "DedupDrillHoles", (flags & 0x10) ? 0 : 1);
  platform::Config().SetNumber("ZovadAdeve", "DedupPruneAllowTruncate", (flags & 0x20) ? 0 : 1);
  platform::Config().SetNumber("ZovadAdeve", "DedupDrillHolesMinSize", 1);

  std::vector<SSfileContainerIndexEntry> before;
  const bool readable = ReadEntries(before) == 0;
  {
    CSFilePruner pruner(&box.params, nullptr, nullptr, 0);
    if (pruner.OpenSfileIdx(1, box.mountPath, 1, 1) == 0) {
      const size_t every = 1 + ((flags >> 1) & 7);
      for (size_t i = 0; i < before.size(); i += every) {
        const uint64_t metaOffset = (flags & 0x40) ? before[i].OwnerValue32 : before[i].DataFileOffset;
        if (pruner.PruneEntry(static_cast<uint32_t>(before[i].Key), metaOffset) < 0) break;
      }
      bool empty = false;
      (void)pruner.Finalize(empty);
    }
  }
  if (!readable) return 0;

  // Objects still valid, in containers that were never compacted, and that no other entry of their
  // container overlaps (an index that contradicts itself cannot protect both): unchanged.
  std::vector<SSfileContainerIndexEntry> after;
  if (ReadEntries(after) != 0) return 0;
  for (const SSfileContainerIndexEntry& e : after) {
    if ((e.Flags & FLAG_SFILE_ENTRY_VALID) == 0 || e.ContainerNo > 1) continue;
    const std::string& original = c[e.ContainerNo];
    if (original.size() < 12 || DecodeBE32(original.data() + 8) != 1) continue;
    if (e.DataFileOffset >= original.size()) continue;
    const uint64_t length = std::min<uint64_t>(e.DataLength, original.size() - e.DataFileOffset);
    bool contested = e.DataFileOffset < 128;
    for (const SSfileContainerIndexEntry& o : after) {
      if (&o != &e && o.ContainerNo == e.ContainerNo && Overlaps(o.DataFileOffset, o.DataLength, e.DataFileOffset, length)) {
        contested = true;
      }
    }
    if (contested) continue;
    std::ifstream in(ContainerPath(e.ContainerNo), std::ios::binary);
    if (!in) abort();  // a container with a valid object was removed
    in.seekg(static_cast<std::streamoff>(e.DataFileOffset));
    std::string now(length, '\0');
    in.read(now.data(), static_cast<std::streamsize>(length));
    if (static_cast<uint64_t>(in.gcount()) != length || now != original.substr(e.DataFileOffset, length)) abort();
  }
  return 0;
}
