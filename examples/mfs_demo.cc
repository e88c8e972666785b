// The example host. Until the disk media is built, it checks the platform layer the library
// stands on: it writes and reads a file through the file-system layer in a temporary folder,
// keeps a volume's accounting in the media manager and prints what happened.

#include <fcntl.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

extern "C" const char* MediaFileSystemVersion();

namespace {

bool Check(const CXoError& e, const char* what) {
  if (e.IsSuccess()) return true;
  std::printf("FAILED: %s: %s (media manager code %lld)\n", what, e.AsString().c_str(),
              MMS2BaseError::ConvertToMMError(e));
  return false;
}

bool FileRoundTrip(const std::string& folder) {
  CFSInitParams params;  // type 0: a disk mount path
  std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(params));
  std::unique_ptr<CFileInterface> file(CFileInterface::GetFileInterfaceInstance(params));
  std::string volume = path_append(folder, "OZ_MAGNETIC/V_1");
  if (!Check(fs->CreateDirectory(volume, true), "create the volume folder")) return false;

  std::string chunk = path_append(volume, "CHUNK_1");
  std::vector<unsigned char> block(64 * 1024);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i * 7);
  unsigned int done = 0;
  if (!Check(file->Open(chunk, O_RDWR | O_CREAT | O_TRUNC | O_LARGEFILE, 0600, 0), "open the chunk")) return false;
  for (int i = 0; i < 4; ++i) {
    if (!Check(file->Write(block.data(), static_cast<unsigned>(block.size()), &done), "write a block")) return false;
  }
  if (!Check(file->Flush(), "flush the chunk")) return false;
  std::printf("wrote 4 blocks of 64 KiB to %s\n", chunk.c_str());

  if (!Check(file->Seek(0, SEEK_SET, nullptr), "seek to the start")) return false;
  CXoCRC32 written, read;
  std::vector<unsigned char> back(block.size());
  unsigned long long total = 0;
  for (;;) {
    if (!Check(file->Read(back.data(), static_cast<unsigned>(back.size()), &done), "read the chunk")) return false;
    if (done == 0) break;
    read.UpdateCRC32(back.data(), done);
    written.UpdateCRC32(block.data(), done);
    total += done;
  }
  file->Close();
  std::printf("read back %llu bytes, CRC-32 %08X (%s)\n", total, read.Final(),
              read.Final() == written.Final() ? "matches" : "DIFFERS");

  unsigned long long totalBytes = 0, freeBytes = 0;
  if (!Check(fs->GetFreeSpace(volume, totalBytes, freeBytes), "read the free space")) return false;
  std::printf("mount path: %llu MB free of %llu MB\n", freeBytes >> 20, totalBytes >> 20);

  bool exists = true;
  fs->Exists(path_append(volume, "CHUNK_2"), exists);
  std::printf("a chunk that was never written %s\n", exists ? "EXISTS (wrong)" : "is absent");
  return total == 4 * block.size() && read.Final() == written.Final() && !exists;
}

bool VolumeAccounting() {
  MLMMessageInstance mlm;
  OZMMvolInfo volume(1, &mlm);
  long long occupied = 0;
  volume.incrNumLogicalBytes(256 * 1024);
  volume.incrNumPhysicalBytes(256 * 1024, -1);
  volume.setFileMarker(1, 1, occupied);
  volume.incrNumFiles(1);
  for (const platform::MMCall& call : platform::MediaManager().calls) {
    std::printf("media manager: volume %d %s(", call.id, call.op.c_str());
    for (size_t i = 0; i < call.args.size(); ++i) std::printf("%s%lld", i ? ", " : "", call.args[i]);
    std::printf(")\n");
  }
  const platform::MMVolume& v = platform::MediaManager().volumes[1];
  std::printf("volume 1 now holds %lld file(s), %lld bytes\n", v.numFiles, v.physicalBytes);
  return v.numFiles == 1 && v.physicalBytes == 256 * 1024;
}

}  // namespace

int main() {
  std::printf("media file system library %s: platform self-check\n", MediaFileSystemVersion());
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/mfs-demo-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  bool ok = FileRoundTrip(pattern) && VolumeAccounting();
  std::error_code ignored;
  std::filesystem::remove_all(pattern, ignored);
  std::printf("%s\n", ok ? "self-check passed" : "self-check FAILED");
  return ok ? 0 : 1;
}
