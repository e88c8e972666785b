// Arbitrary bytes as an SFile container: the reader of its compaction map must neither crash nor
// read outside the file, and a map it accepts must serialise back to the bytes it came from,
// translate any offset to one inside the container's bounds or refuse it, and merge holes into a
// map whose runs ascend behind it. Each input runs once more with the container's magic, the map
// tag, size and CRC made right, so that inputs get past the checks. The seeds are compacted
// containers.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "MediaFileSystem/SFileCompactionMap.h"
#include "MediaFileSystem/SingleInstancerFS.h"
#include "compacted_container_seeds.h"
#include "fuzz_seeds.h"
#include "index_fuzz_sandbox.h"
#include "platform/byte_order.h"
#include "platform/crc32.h"

namespace {

uint64_t Take(const std::string& bytes, size_t& at) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i, ++at) v = (v << 8) | static_cast<unsigned char>(at < bytes.size() ? bytes[at] : 0);
  return v;
}

void CheckMap(CSFileCompactionMap& map, const std::string& bytes) {
  const uint32_t n = map.EntryCount();
  if (n == 0) return;
  std::string media(size_t{n} * 24, '\0');
  map.Serialize(reinterpret_cast<SCompactionMapEntry*>(media.data()));
  if (media != bytes.substr(256, media.size())) __builtin_trap();

  size_t at = 0;
  for (int i = 0; i < 16; ++i) {
    const uint64_t logical = Take(bytes, at);
    const uint64_t physical = map.GetPhysicalOffset(logical, i % 2 == 0);
    if (physical != CSFileCompactionMap::kInvalidOffset && physical < 128) __builtin_trap();
  }

  // Holes from the input: ascending, not overlapping.
  std::vector<SSFileRange> holes;
  uint64_t next = 128;
  at = 8;
  for (int i = 0; i < 8; ++i) {
    SSFileRange h;
    h.uOffset = next + Take(bytes, at) % 4096;
    h.uLength = Take(bytes, at) % 4096;
    next = h.uOffset + h.uLength;
    holes.push_back(h);
  }
  std::vector<SSFileRange> ranges;
  uint64_t valid = 0, dropped = 0;
  if (map.Merge(&holes, 0, bytes.size(), ranges, valid, dropped) != 0 || ranges.empty()) return;
  const uint32_t m = map.EntryCount();
  uint64_t sum = 0;
  for (const SSFileRange& r : ranges) sum += r.uLength;
  if (m == 0 || sum != valid || map.Entries()[0].uPhysicalOff != 256 + 24ull * m) __builtin_trap();
  for (uint32_t k = 1; k < m; ++k) {
    if (map.Entries()[k].uPhysicalOff <= map.Entries()[k - 1].uPhysicalOff ||
        map.Entries()[k].uLogicalOff <= map.Entries()[k - 1].uLogicalOff) {
      __builtin_trap();
    }
  }
}

void Exercise(const std::string& bytes) {
  const std::string path = fuzz::IndexSandbox::Get().File();
  fuzz::Store(path, bytes.data(), bytes.size());
  CFSInitParams params;
  std::unique_ptr<CFileInterface> file(CFileInterface::GetFileInterfaceInstance(params));
  if (file->Open(path, O_RDONLY, 0, 0).IsFailure()) return;
  CSFileCompactionMap map;
  if (SingleInstancer_FS::GetCompactionMap(file.get(), map).IsSuccess()) CheckMap(map, bytes);
  uint64_t physical = 0;
  size_t at = 0;
  (void)SingleInstancer_FS::GetCompactedOffset(file.get(), Take(bytes, at), true, physical);
}

}  // namespace

MFS_FUZZ_SEEDS(fuzz::CompactedContainers)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  Exercise(bytes);
  if (bytes.size() < 256) return 0;
  // The same with a well-formed header around whatever entries the input holds.
  std::memcpy(&bytes[0], "SFILHDR", 8);
  EncodeBE32(&bytes[8], 2 + static_cast<uint32_t>(static_cast<unsigned char>(bytes[12]) % 3));
  std::memcpy(&bytes[128], "10PMOC", 7);
  const uint32_t count = std::min<uint32_t>(DecodeBE32(&bytes[144]) % 4096, static_cast<uint32_t>((bytes.size() - 256) / 24));
  EncodeBE32(&bytes[140], count * 24);
  EncodeBE32(&bytes[144], count);
  EncodeBE32(&bytes[136], CXoCRC32::Of(bytes.data() + 256, count * 24));
  Exercise(bytes);
  return 0;
}
