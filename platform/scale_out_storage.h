// The scale-out storage library: which paths lie on a Gluster volume, and how such a path splits
// into the volume's host, name and port and the path inside the volume. A recording stand-in:
// tests declare the volumes by the folder where each is mounted, and every call is recorded.
#pragma once

#include <mutex>
#include <string>
#include <vector>

class lg_storage {
 public:
  // Whether the path lies on a Gluster volume.
  bool is_on_gluster_volume(const std::string& path);
  // 0 with the parts of a path on a Gluster volume; nonzero (ENOENT) for any other path. The
  // inner path starts with '/' ("/" for the volume's root).
  int extract_gluster_volume_info(const std::string& path, std::string& host, std::string& volume,
                                  unsigned int& port, std::string& innerPath);
};

namespace platform {

struct GlusterVolume {
  std::string mountPoint;  // the folder where the volume is mounted; the paths below it are on it
  std::string host;
  std::string volume;
  unsigned int port = 24007;
};

struct ScaleOutStorageState {
  std::vector<GlusterVolume> volumes;
  std::vector<std::string> calls;  // "is_on_gluster_volume <path>", "extract_gluster_volume_info <path>"
};

ScaleOutStorageState& ScaleOutStorage();
std::mutex& ScaleOutStorageMutex();  // held by the stand-in while it reads or writes the state

}  // namespace platform
