// What the system knows of one mount path: its configured description (SMountInfo) and, for data
// server and Gluster mount paths, the parsed form of the path text (DataServerMountPathInfo).
#pragma once

#include <strings.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Paths on the scale-out storage's Gluster volumes begin with these eight characters.
inline constexpr char kGlusterPathPrefix[] = "/lg/glus";
inline constexpr size_t GLUSTER_PATH_PREFIX_LEN = sizeof(kGlusterPathPrefix) - 1;

// Whether `path` begins with kGlusterPathPrefix, letters compared without regard to case (the
// store's hard-link test and the chunk pruner; the chunk reader compares with case).
inline bool StartsWithGlusterPrefixNoCase(const char* path) {
  return path != nullptr && strncasecmp(path, kGlusterPathPrefix, GLUSTER_PATH_PREFIX_LEN) == 0;
}

// Transports of a data server or Gluster mount path.
enum DataServerTransport : int32_t {
  kDataServerTransportNone = -1,
  kDataServerTransportSanOrFc = 1,
  kDataServerTransportIscsi = 2,
  kDataServerTransportGluster = 3,
  kDataServerTransportIp = 4,
};

// A data server path has the text form "WORD|n1|n2|host|n3|path" with WORD one of IP, SAN, FC or
// ISCSI. A Gluster volume path fills the Gluster fields instead.
struct DataServerMountPathInfo {
  bool m_IsDataServer = false;
  int32_t m_Transport = kDataServerTransportNone;
  int32_t m_Number1 = 0;
  int32_t m_Number2 = 0;
  std::string m_Host;
  std::string m_GlusterHost;
  int32_t m_Number3 = 0;
  std::string m_Path;
  uint32_t m_GlusterPort = 0;
  uint32_t m_Reserved1 = 0;  // set by no operation of the library
  std::string m_GlusterVolume;
  std::string m_Reserved2;   // set by no operation of the library
};

using MountPathType = int32_t;

// One mount path as the configuration describes it; keyed by (m_MountPathId, m_TarnholdId).
struct SMountInfo {
  int32_t m_MountPathId = 0;
  int32_t m_TarnholdId = 0;
  std::string m_UserName;
  std::string m_Password;
  std::string m_MountPath;
  uint64_t m_UserToken = 0;
  MountPathType m_MountPathType = 0;  // 7: cloud storage
  int32_t m_CloudSubType = 0;
  int32_t m_AccessFlags = 0;          // 0x2: the ZovadAdeve may write
  int32_t m_Attributes = 0;           // 0x800: may hold hybrid volumes
  DataServerMountPathInfo m_DataServerInfo;
};
