// Arbitrary bytes as an index file: every instantiation opens them (read-only and read-write) and
// runs its record operations on what it accepted. Nothing may crash or read outside its buffers.
// Each input also runs once more with its header checksum made right, so that inputs get past it.
// The seeds are whole index files of each kind.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "MediaFileSystem/SingleInstancerIndexFile.h"
#include "platform/platform.h"
#include "fuzz_seeds.h"
#include "index_fuzz_sandbox.h"

namespace {

template <class Rec, const char* Magic>
void Exercise(const uint8_t* data, size_t size, int mode, uint64_t key) {
  const std::string path = fuzz::IndexSandbox::Get().File();
  fuzz::Store(path, data, size);
  std::remove((path + ".change").c_str());
  CFSInitParams params;
  CIndexFile<Rec, Magic> idx(&params, nullptr);
  typename CIndexFile<Rec, Magic>::Options opt;
  opt.bCacheKeys = true;
  if (idx.Open(path, mode, opt).IsFailure()) return;

  const int64_t total = static_cast<int64_t>(idx.m_Header.TotalEntries);
  Rec rec{};
  uint64_t bytes = 0;
  (void)idx.GetSize(bytes);
  for (int64_t i : {int64_t{0}, total / 2, total - 1, total}) (void)idx.GetEntry(i, &rec);
  int64_t pos = -1;
  int64_t lo = 0;
  int64_t hi = total - 1;
  (void)idx.SearchEntry(key, &rec, &pos, lo, hi);
  (void)idx.SearchNextEntry(key, &rec, &pos);
  int64_t at = -1;
  if (idx.GetFirstEntry(&at, &rec).IsSuccess()) {
    for (int n = 0; n < 32 && at != -1; ++n) {
      if (idx.GetNextEntry(&at, &rec).IsFailure()) break;
    }
  }
  if (mode == 2) {
    if (total > 0 && idx.GetEntry(0, &rec).IsSuccess()) (void)idx.UpdateEntry(0, &rec);
    Rec added{};
    (void)idx.AddEntry(&added);
    (void)idx.Flush();
  }
  (void)idx.Close();
}

void Version(const uint8_t* data, size_t size) {
  const std::string path = fuzz::IndexSandbox::Get().File();
  fuzz::Store(path, data, size);
  CFSInitParams params;
  std::unique_ptr<CFileInterface> fp(CFileInterface::GetFileInterfaceInstance(params));
  if (fp->Open(path, O_RDONLY, 0400, 0).IsFailure()) return;
  int version = 0;
  (void)CIndexFile<SChunkMetaDataIndexEntry, g_szChunkIndexHdrMagic>::GetFileVersion(fp.get(),
                                                                                     g_szChunkIndexHdrMagic, version);
  (void)fp->Close();
}

void RunAll(const uint8_t* data, size_t size) {
  uint64_t key = 0;
  if (size >= 8) key = DecodeBE64(data + size - 8);
  for (int mode : {1, 2}) {
    Exercise<SSfileContainerIndexEntry, g_szSFileIndexHdrMagic>(data, size, mode, key);
    Exercise<SChunkMetaDataIndexEntry, g_szChunkIndexHdrMagic>(data, size, mode, key);
    Exercise<SHybridVolumeRecord, g_szHybridVolumeIndexHdrMagic>(data, size, mode, key);
  }
  Exercise<SChunkMetaDataIndexEntry90, g_szChunkIndexHdrMagic>(data, size, 1, key);
  Version(data, size);
}

// Seeds: index files of every record type, packed and aligned, empty and with records (the
// aligned ones over more than one block), as the library writes them; the record type that it
// only reads is laid out the way its reader expects.
void SetKey(SSfileContainerIndexEntry& r, uint64_t k) { r.Key = k; }
void SetKey(SChunkMetaDataIndexEntry& r, uint64_t k) { r.Key = k; }
void SetKey(SHybridVolumeRecord& r, uint64_t k) { r.VolId = k; }

template <class Rec, const char* Magic>
void AddSeeds(std::vector<std::string>& seeds) {
  for (bool aligned : {false, true}) {
    for (uint64_t records : {0, 3, 20}) {
      seeds.push_back(fuzz::MakeIndexFile<Rec, Magic>(aligned, records, [](Rec& r, uint64_t k) {
        SetKey(r, k * 16);
        r.Deleted = k % 5 == 0;
      }));
    }
  }
}

std::string OlderChunkIndex(uint64_t records) {
  using Traits = CIndexRecordTraits<SChunkMetaDataIndexEntry90>;
  SIndexFileHeader header;
  memcpy(header.Magic, g_szChunkIndexHdrMagic, strlen(g_szChunkIndexHdrMagic));
  header.Version = Traits::kPackedVersion;
  header.TotalEntries = records;
  header.SwapByteOrder();
  header.CRC32 = ozhtonl(CXoCRC32::Of(&header, kIdxHeaderCrcBytes));
  std::string bytes(reinterpret_cast<const char*>(&header), sizeof(header));
  for (uint64_t k = 1; k <= records; ++k) {
    SChunkMetaDataIndexEntry90 r{};
    r.Key = k * 16;
    r.OwnerValue8 = k;
    Traits::SwapByteOrder(r);
    r.CRC32 = ozhtonl(CXoCRC32::Of(&r, Traits::kCrcBytes));
    bytes.append(reinterpret_cast<const char*>(&r), sizeof(r));
  }
  return bytes;
}

std::vector<std::string> Seeds() {
  std::vector<std::string> seeds;
  AddSeeds<SSfileContainerIndexEntry, g_szSFileIndexHdrMagic>(seeds);
  AddSeeds<SChunkMetaDataIndexEntry, g_szChunkIndexHdrMagic>(seeds);
  AddSeeds<SHybridVolumeRecord, g_szHybridVolumeIndexHdrMagic>(seeds);
  for (uint64_t records : {0, 3, 20}) seeds.push_back(OlderChunkIndex(records));
  return seeds;
}

}  // namespace

MFS_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RunAll(data, size);
  if (size >= kIdxHeaderSize) {
    std::string sealed(reinterpret_cast<const char*>(data), size);
    EncodeBE32(&sealed[kIdxHeaderCrcBytes], CXoCRC32::Of(sealed.data(), kIdxHeaderCrcBytes));
    RunAll(reinterpret_cast<const uint8_t*>(sealed.data()), size);
  }
  return 0;
}
