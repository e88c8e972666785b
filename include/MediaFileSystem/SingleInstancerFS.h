// SingleInstancer_FS: the deduplicated single-instance chunk store on disk or cloud mount paths.
#pragma once

#include "MediaFileSystem/zovadAdeveFS.h"

class SingleInstancer_FS : public media_fs {
 public:
  // Adds up the space of every file below `folder` through the file-system interface: a file's
  // byte size, or the space its allocated blocks take when that is smaller (a sparse file).
  // Success means every file was counted; on failure `*total` is a partial sum to discard.
  static CXoError GetSizeOfVolumeDirectory(CFSInterface* fileSystem, const char* folder, long long* total);
};
