// The shared set-up of the appliance media's tests: the appliance stand-in switched on over a
// temporary folder, a mount path "<root>/lib/OZ_MAGNETIC" known to the configuration, a volume in
// it, a reservation and a job, with helpers that make media objects, chunks, link records and a
// model of what each chunk's data object must hold.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "MediaFileSystem/HPStoreOnceFS.h"
#include "platform/media_manager_calls.h"
#include "platform/platform.h"
#include "platform/temp_dir.h"

// Reaches what the media keeps to itself: the fixed-block flag (no operation of the class sets
// it) and the pending copy.
struct HPStoreOnceFSTestAccess {
  static void SetFixedBlock(HPStoreOnce_FS& media, bool on) { media.m_bFixedBlock = on; }
  static void SetFileNumber(HPStoreOnce_FS& media, long long number) { media.m_llFileNumber = number; }
  // The space the volume holds and the current archive file's physical bytes.
  static void SetSpace(HPStoreOnce_FS& media, long long occupied, long long physical) {
    media.m_llSpaceOccupied = occupied;
    media.m_llPhysicalBytes = physical;
  }
  static bool CopyPending(const HPStoreOnce_FS& media) { return media.m_ullCopySrcOffset != ~0ULL; }
  static unsigned long long CopySize(const HPStoreOnce_FS& media) { return media.m_ullCopySize; }
  static const std::string& MountRoot(const HPStoreOnce_FS& media) { return media.m_strMountRoot; }
  static const std::string& ChunkPath(const HPStoreOnce_FS& media) { return media.m_strChunkPath; }
  static const std::string& MetaDataPath(const HPStoreOnce_FS& media) { return media.m_strMetaDataPath; }
  static const std::string& DataPath(const HPStoreOnce_FS& media) { return media.m_strDataPath; }
  static const std::string& IndexPath(const HPStoreOnce_FS& media) { return media.m_strIndexPath; }
};

namespace sotest {

using Access = HPStoreOnceFSTestAccess;

inline constexpr int kVolId = 7;
inline constexpr int kMountPathId = 31;
inline constexpr int kTHId = 2;

// A link record in network order, as the host passes it.
inline SILinkHdr Link(unsigned int volumeId, unsigned long long chunkId, unsigned int objectNumber,
                      unsigned long long offset, unsigned long long size, int mountPathId = kMountPathId) {
  SILinkHdr link{};
  link.Word0 = 0x01020304;
  link.Word1 = 0x05060708;
  link.PrimaryRecord.VolumeId = volumeId;
  link.PrimaryRecord.MountPathId = static_cast<uint32_t>(mountPathId);
  link.PrimaryRecord.Size = size;
  link.PrimaryRecord.ChunkId = chunkId;
  link.PrimaryRecord.MetadataOffset = (static_cast<uint64_t>(objectNumber) << 56) | offset;
  HPStoreOnce_FS::ConvertSILinkByteOrder(&link);
  return link;
}

inline std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline SChunkMetaDataIndexEntry Entry(unsigned long long key) {
  SChunkMetaDataIndexEntry e{};
  e.Key = key;
  e.OwnerValue8 = key * 3;
  e.OwnerValue16 = key + 11;
  return e;
}

class StoreOnceTest : public ::testing::Test {
 protected:
  StoreOnceTest() {
    platform::Appliance().Enable(root.path());
    mountRoot = root / "lib/OZ_MAGNETIC";
    volumePath = path_append(mountRoot, "V_" + std::to_string(kVolId));
    platform::MountPathRecord record;
    record.mountPath = mountRoot;
    platform::Config().mountPaths[{kMountPathId, kTHId}] = record;
    reserve.m_blockSizeKB = 64;
    params.m_Type = kFSTypeStoreOnce;
    params.m_ParamText = "tags";
  }

  MediaFsInitParams InitParams(int dataMoverMode) {
    MediaFsInitParams p;
    p.iVolId = kVolId;
    p.iTHId = kTHId;
    p.strPath = volumePath;
    p.pMlm = &mlm;
    p.pReserveMount = &reserve;
    p.strHostName = "client1";
    p.iDataMoverMode = dataMoverMode;
    return p;
  }

  // A media object initialised for a backup (data mover mode 1) or a restore (mode 2).
  std::unique_ptr<HPStoreOnce_FS> NewMedia(int dataMoverMode = kDataMoverModeBackup) {
    auto media = std::make_unique<HPStoreOnce_FS>(&job, params);
    EXPECT_EQ(0, media->Init(InitParams(dataMoverMode), false));
    return media;
  }

  static MediaFSArchiveFileId_t ChunkId(long long chunkId, uint32_t dataType = CHUNK) {
    MediaFSArchiveFileId_t id;
    id.uiDataType = dataType;
    id.llChunkId = chunkId;
    id.llFileMarkerNumber = 1;
    id.iChunkVersion = 3;
    return id;
  }

  std::string ChunkFolder(long long chunkId) const { return path_append(volumePath, "CHUNK_" + std::to_string(chunkId)); }
  std::string DataObject(long long chunkId) const { return path_append(ChunkFolder(chunkId), "1.data"); }
  std::string MetaObject(long long chunkId) const { return path_append(ChunkFolder(chunkId), ".meta"); }
  std::string IndexObject(long long chunkId) const { return path_append(ChunkFolder(chunkId), ".idx"); }

  // A chunk whose data object holds `data` (and its metadata object "m"), written and closed
  // through the media.
  void WriteDataChunk(long long chunkId, const std::string& data) {
    auto media = NewMedia();
    ASSERT_EQ(0, media->Create(&ChunkIdOf(chunkId)));
    int eom = -1;
    ASSERT_EQ(1, media->WriteToMetaData("m", 1, &eom));
    ASSERT_EQ(static_cast<int>(data.size()), media->WriteToDataFile(data.data(), static_cast<long>(data.size()), &eom));
    ASSERT_EQ(0, media->CloseSpecific(0));
  }

  const MediaFSArchiveFileId_t& ChunkIdOf(long long chunkId) {
    m_id = ChunkId(chunkId);
    return m_id;
  }

  static long long LastError(const HPStoreOnce_FS& media) { return media.MediaFSGetLastError(); }

  TempDir root;
  std::string mountRoot;
  std::string volumePath;
  _JobContext job{4242, 1};
  MLMMessageInstance mlm;
  OZMMreserveMount reserve;
  CFSInitParams params;

 private:
  MediaFSArchiveFileId_t m_id;
};

}  // namespace sotest
