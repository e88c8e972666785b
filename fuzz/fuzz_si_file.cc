// Arbitrary bytes as what the single-instance file reader opens: a layout-0 metadata file, a
// layout-1 reference record with the metadata behind it, and an SFile container with its
// compaction map and objects, each opened and read through CSIFile. The reader must never crash or
// read outside its buffers, and must give only its documented results: 0, -1 or -2 from the
// opens, 0, 774, -1 or -2 from Seek, a count no larger than asked or one of the two failures from
// the reads.
//
// Input: a byte of flags, two 16-bit lengths (of the metadata file's part and of the record's
// part), the two parts, then the container. The flags put the tag header in front of the
// metadata part, and the container's name and a valid object header into the record, so that the
// opens get past their checks; the seeds are compacted containers with records that point into
// them.

#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "MediaFileSystem/SIFile.h"
#include "MediaFileSystem/SingleInstancerFS.h"
#include "compacted_container_seeds.h"
#include "fuzz_seeds.h"
#include "platform/byte_order.h"
#include "platform/platform.h"

namespace {

constexpr unsigned long long kChunk = 1;
constexpr unsigned int kVolume = 1;
constexpr char kContainerName[] = "SFILE_CONTAINER_000";

struct Sandbox {
  std::string root, mountPath, chunk, meta, layout0Data, container;
  _OzLogDef log{};
};

std::string g_root;

void RemoveSandbox() {
  std::error_code ignored;
  if (!g_root.empty()) std::filesystem::remove_all(g_root, ignored);
}

Sandbox& Box() {
  static Sandbox* box = [] {
    platform::ResetAll();
    platform::SetLogCaptureLimit(64);  // failed opens log; keep the capture small
    auto* s = new Sandbox;
    char pattern[] = "/tmp/mfs-fuzz-sifile-XXXXXX";
    if (mkdtemp(pattern) == nullptr) abort();
    g_root = s->root = pattern;
    atexit(RemoveSandbox);
    s->mountPath = path_append(s->root, "OZ_MAGNETIC");
    s->chunk = path_append(path_append(s->mountPath, SingleInstancer_FS::GetVolumeDirName(kVolume)),
                           SingleInstancer_FS::GetChunkDirName(kChunk));
    std::filesystem::create_directories(s->chunk);
    s->meta = path_append(s->chunk, SingleInstancer_FS::GetChunkMetadataName(kChunk));
    s->layout0Data = path_append(s->chunk, SingleInstancer_FS::GetSIFileName(1, 2, 3, 0, true));
    s->container = path_append(s->chunk, kContainerName);
    InitOZlog(&s->log, "FUZZ", "sifile", 1);
    return s;
  }();
  return *box;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void CheckOpen(int rc) {
  if (rc != 0 && rc != -1 && rc != -2) __builtin_trap();
}

void CheckRead(MM_uint got, MM_uint size) {
  if (got > size && got != CSIFile::kReadChunkAtFault && got != CSIFile::kReadNotChunk) __builtin_trap();
}

// Reads a little of both streams, positioned at offsets taken from `offsets`.
void ReadSome(CSIFile& reader, const std::string& offsets, bool seek) {
  std::vector<char> buffer(70000);
  for (size_t at = 0; at + 4 <= offsets.size() && at < 32; at += 4) {
    const uint32_t value = DecodeBE32(offsets.data() + at);
    if (seek) {
      const int rc = reader.Seek(value % 1000000);
      if (rc != 0 && rc != CSIFile::kSeekInHole && rc != -1 && rc != -2) __builtin_trap();
    }
    const MM_uint size = 1 + value % static_cast<uint32_t>(buffer.size());
    CheckRead(reader.ReadMetaData(buffer.data(), size), size);
    CheckRead(reader.ReadData(buffer.data(), size), size);
  }
}

struct Parts {
  uint8_t flags = 0;
  std::string meta, record, container;
};

Parts Split(const uint8_t* data, size_t size) {
  Parts p;
  if (size < 5) return p;
  p.flags = data[0];
  size_t metaSize = static_cast<size_t>(data[1]) << 8 | data[2];
  size_t recordSize = static_cast<size_t>(data[3]) << 8 | data[4];
  const char* at = reinterpret_cast<const char*>(data) + 5;
  size_t left = size - 5;
  metaSize = metaSize < left ? metaSize : left;
  p.meta.assign(at, metaSize);
  at += metaSize, left -= metaSize;
  recordSize = recordSize < left ? recordSize : left;
  p.record.assign(at, recordSize);
  p.container.assign(at + recordSize, left - recordSize);
  return p;
}

std::string Input(uint8_t flags, const std::string& meta, const std::string& record, const std::string& container) {
  std::string input(1, static_cast<char>(flags));
  for (size_t n : {meta.size(), record.size()}) {
    input += static_cast<char>(n >> 8);
    input += static_cast<char>(n & 0xFF);
  }
  return input + meta + record + container;
}

// A reference record that names the container and a logical offset in it.
std::string Record(uint64_t dataOffset) {
  std::string r(496, '\0');
  std::memcpy(&r[96], kContainerName, sizeof(kContainerName));
  EncodeBE64(&r[232], dataOffset);
  EncodeBE32(&r[292], 1);
  return r + std::string(64, 'm');
}

std::vector<std::string> Seeds() {
  std::vector<std::string> seeds;
  for (const std::string& container : fuzz::CompactedContainers()) {
    for (uint64_t offset : {128ull, 300ull, 1000ull}) {
      seeds.push_back(Input(0x07, std::string(64, 'M'), Record(offset), container));
    }
  }
  std::string plain(128, '\0');
  std::memcpy(&plain[0], "SFILHDR", 8);
  EncodeBE32(&plain[8], 1);
  plain += std::string("10DHGAT\0", 8) + std::string(8, '\0') + std::string(500, 'd');
  seeds.push_back(Input(0x03, std::string(100, 'M'), Record(128), plain));
  return seeds;
}

}  // namespace

MFS_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Sandbox& box = Box();
  Parts p = Split(data, size);
  // Flag 1: the tag header at the first block size in front of the metadata part.
  std::string meta = p.meta;
  if (p.flags & 1) meta = std::string(32768, '\0') + std::string("TAGHD01\0", 8) + meta;
  // Flag 2: the record names the container (a fuzzed name could name any file).
  std::string record = p.record;
  if ((p.flags & 2) && record.size() >= 96 + sizeof(kContainerName)) {
    std::memcpy(&record[96], kContainerName, sizeof(kContainerName));
  }
  // Flag 4: a valid object header where the record's offset points, when it lies in the part.
  std::string container = p.container;
  if ((p.flags & 4) && record.size() >= 240) {
    const uint64_t offset = DecodeBE64(record.data() + 232);
    if (container.size() >= 16 && offset <= container.size() - 16) std::memcpy(&container[offset], "10DHGAT", 8);
  }
  CFSInitParams params;
  params.m_Host.m_Path = box.mountPath;

  {  // layout 0
    WriteFile(box.meta, meta);
    WriteFile(box.layout0Data, container);
    CSIFile reader(&box.log);
    if (reader.Init(&params, kChunk, kVolume, false) != 0) __builtin_trap();
    const int rc = reader.OpenDataFile_5(1, 2, 3, p.flags >> 4, true);
    CheckOpen(rc);
    ReadSome(reader, p.record, rc == 0);
  }
  {  // layout 1
    WriteFile(box.meta, record);
    WriteFile(box.container, container);
    CSIFile reader(&box.log);
    if (reader.Init(&params, kChunk, kVolume, false) != 0) __builtin_trap();
    const int rc = reader.OpenDataFile_1(0);
    CheckOpen(rc);
    if (rc == 0) ReadSome(reader, p.meta, false);
  }
  {  // layout 2
    CSIFile reader(&box.log);
    if (reader.Init(&params, kChunk, kVolume, false) != 0) __builtin_trap();
    const int rc = reader.OpenDataFile_4(0, 0, 0, false);
    CheckOpen(rc);
    if (rc == 0) ReadSome(reader, p.record + p.meta, true);
    CheckOpen(reader.IsSFileValid(0));
  }
  return 0;
}
