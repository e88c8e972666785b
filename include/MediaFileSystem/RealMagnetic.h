// RealMagneticFS: the media of disk mount paths.
//
// Beside the media object, the class offers static operations on the files and folders of a
// mount path to callers that hold no disk media object. Each works through the file-system
// interface that the caller made for the mount path and logs to the caller's log object, or to
// a default one for the call when `log` is null.
#pragma once

#include "MediaFileSystem/zovadAdeveFS.h"

class RealMagneticFS : public media_fs {
 public:
  // Whether the path exists. Below a disk library root (the path up to the last "OZ_MAGNETIC")
  // a missing path is tested three times, 1 ms apart, with the root each time: when the root
  // itself is missing the whole mount path is offline, Win32-style error 774 "Entire path is
  // offline".
  static CXoError PathExists(CFSInterface* fs, const char* path, bool* exists, EvDebug* log);
  // Removes the file if it exists; a refused removal is repeated once after the file was made
  // writable. Success when the file is gone.
  static CXoError DeleteFile(CFSInterface* fs, const char* path, EvDebug* log);
  // Removes the (empty) folder if it exists. Success when the folder is gone.
  static CXoError DeleteDirectory(CFSInterface* fs, const char* path, EvDebug* log);
  // Nothing to grant or revoke on these storages: 0.
  static int GrantDeletePermissions(CFSInterface* fs, const char* path, EvDebug* log);
  static int RevokeDeletePermissionsFromAll(CFSInterface* fs, const char* path, EvDebug* log);
};
