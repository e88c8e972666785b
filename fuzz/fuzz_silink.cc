// Arbitrary 208-byte link records, as a host would hand them to the appliance media: each record
// is converted to host order and named as an object, and the whole row is scheduled as copies on
// one chunk of the appliance stand-in, which merges the links that continue each other and runs
// the others. Nothing may crash, and every object a link names must be the mount root, then
// "V_" and a number, "CHUNK_" and a number, and a number with ".data".

#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "MediaFileSystem/HPStoreOnceFS.h"
#include "fuzz_seeds.h"
#include "platform/platform.h"

namespace {

constexpr int kMountPathId = 5;

struct Sandbox {
  std::string root;
  std::string mountRoot;
  _JobContext job{1, 1};
  MLMMessageInstance mlm;
  OZMMreserveMount reserve;
  CFSInitParams params;

  Sandbox() {
    platform::ResetAll();
    platform::SetLogCaptureLimit(64);
    char pattern[] = "/tmp/mfs-fuzz-silink-XXXXXX";
    root = mkdtemp(pattern) != nullptr ? pattern : "/tmp";
    mountRoot = root + "/lib/OZ_MAGNETIC";
    platform::Appliance().Enable(root);
    platform::MountPathRecord record;
    record.mountPath = mountRoot;
    platform::Config().mountPaths[{kMountPathId, 2}] = record;
    params.m_Type = kFSTypeStoreOnce;
    params.m_ParamText = "tags";
  }
};

bool IsNumber(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// root/V_<n>/CHUNK_<n>/<n>.data
bool IsObjectPath(const std::string& path, const std::string& root) {
  if (path.compare(0, root.size() + 1, root + "/") != 0) return false;
  const std::string rest = path.substr(root.size() + 1);
  const size_t a = rest.find('/');
  const size_t b = a == std::string::npos ? a : rest.find('/', a + 1);
  if (b == std::string::npos || rest.find('/', b + 1) != std::string::npos) return false;
  const std::string volume = rest.substr(0, a), chunk = rest.substr(a + 1, b - a - 1), object = rest.substr(b + 1);
  return volume.compare(0, 2, "V_") == 0 && IsNumber(volume.substr(2)) && chunk.compare(0, 6, "CHUNK_") == 0 &&
         IsNumber(chunk.substr(6)) && object.size() > 5 && object.compare(object.size() - 5, 5, ".data") == 0 &&
         IsNumber(object.substr(0, object.size() - 5));
}

// A link as a host passes it: in network order.
std::string LinkBytes(uint32_t volume, uint64_t chunk, unsigned object, uint64_t offset, uint64_t size, int mountPath) {
  SILinkHdr link{};
  link.PrimaryRecord.VolumeId = volume;
  link.PrimaryRecord.MountPathId = static_cast<uint32_t>(mountPath);
  link.PrimaryRecord.Size = size;
  link.PrimaryRecord.ChunkId = chunk;
  link.PrimaryRecord.MetadataOffset = (static_cast<uint64_t>(object) << 56) | offset;
  HPStoreOnce_FS::ConvertSILinkByteOrder(&link);
  return std::string(reinterpret_cast<const char*>(&link), sizeof(link));
}

// Rows of links: a run that continues itself, links of another chunk, volume and mount path, and
// links to the chunk being written, which copies run from and into.
std::vector<std::string> Seeds() {
  return {
      LinkBytes(7, 2, 1, 0, 100, kMountPathId) + LinkBytes(7, 2, 1, 100, 50, kMountPathId) +
          LinkBytes(7, 3, 1, 0, 10, kMountPathId),
      LinkBytes(7, 2, 1, 0, 100, kMountPathId) + LinkBytes(8, 2, 1, 0, 10, kMountPathId) +
          LinkBytes(7, 2, 1, 0, 10, kMountPathId + 1),
      LinkBytes(7, 2, 2, 4096, 1, kMountPathId) + LinkBytes(7, 2, 1, 4097, 1, kMountPathId),
      LinkBytes(7, 1, 1, 0, 0, kMountPathId) + LinkBytes(7, 1, 1, 0, 8, kMountPathId),
  };
}

}  // namespace

MFS_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Sandbox* box = new Sandbox;
  constexpr size_t kLink = sizeof(SILinkHdr);
  const size_t links = size / kLink;
  if (links == 0 || links > 16) return 0;

  static HPStoreOnce_FS* object = [] {
    auto* m = new HPStoreOnce_FS(&box->job, box->params);
    MediaFsInitParams init;
    init.iVolId = 7;
    init.iTHId = 2;
    init.strPath = box->mountRoot + "/V_7";
    init.pMlm = &box->mlm;
    init.pReserveMount = &box->reserve;
    init.iDataMoverMode = kDataMoverModeBackup;
    if (m->Init(init, false) != 0) __builtin_trap();
    return m;
  }();
  HPStoreOnce_FS& media = *object;
  MediaFSArchiveFileId_t id;
  id.uiDataType = CHUNK;
  id.llChunkId = 1;
  if (media.CreateSpecific(&id) != 0) __builtin_trap();

  for (size_t i = 0; i < links; ++i) {
    SILinkHdr link;
    std::memcpy(&link, data + i * kLink, kLink);
    SILinkHdr host = link;
    HPStoreOnce_FS::ConvertSILinkByteOrder(&host);
    if (!IsObjectPath(HPStoreOnce_FS::GetObjectPathFromSILinkHdr(host, "R"), "R")) __builtin_trap();
    if (!IsObjectPath(media.GetObjectPathFromSILinkHdr(host), box->mountRoot)) __builtin_trap();
    SILinkHdr back = host;
    HPStoreOnce_FS::ConvertSILinkByteOrder(&back);
    if (std::memcmp(&back, &link, kLink) != 0) __builtin_trap();

    const long long before = media.GetDataFileOffset();
    int eom = -1;
    const int scheduled = media.ScheduleDataFileCopy(&link, 2, false, &eom);
    // A scheduled link moves the data offset by its size: the copy ends there.
    if (scheduled >= 0 && media.GetDataFileOffset() < before) __builtin_trap();
    if (scheduled >= 0 && static_cast<uint64_t>(scheduled) != host.PrimaryRecord.Size) __builtin_trap();
  }
  (void)media.CloseSpecific(0);
  std::error_code ignored;
  std::filesystem::remove_all(box->mountRoot + "/V_7/CHUNK_1", ignored);
  platform::Appliance().ClearCalls();
  return 0;
}
