#include "platform/scale_out_storage.h"

#include <cerrno>

namespace platform {

ScaleOutStorageState& ScaleOutStorage() {
  static ScaleOutStorageState* state = new ScaleOutStorageState;
  return *state;
}

std::mutex& ScaleOutStorageMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

}  // namespace platform

namespace {

struct Found {
  const platform::GlusterVolume* volume = nullptr;
  size_t mountLength = 0;  // of the mount point without trailing slashes
};

// The volume mounted at the longest mount point that holds `path`. "/gv0" holds "/gv0" and
// "/gv0/a", not "/gv01".
Found VolumeOf(const std::string& path) {
  Found best;
  for (const platform::GlusterVolume& v : platform::ScaleOutStorage().volumes) {
    size_t n = v.mountPoint.size();
    while (n > 1 && v.mountPoint[n - 1] == '/') --n;
    if (n == 0 || path.compare(0, n, v.mountPoint, 0, n) != 0) continue;
    if (path.size() != n && v.mountPoint[n - 1] != '/' && path[n] != '/') continue;
    if (best.volume == nullptr || n > best.mountLength) best = Found{&v, n};
  }
  return best;
}

}  // namespace

bool lg_storage::is_on_gluster_volume(const std::string& path) {
  std::lock_guard<std::mutex> lock(platform::ScaleOutStorageMutex());
  platform::ScaleOutStorage().calls.push_back("is_on_gluster_volume " + path);
  return VolumeOf(path).volume != nullptr;
}

int lg_storage::extract_gluster_volume_info(const std::string& path, std::string& host, std::string& volume,
                                            unsigned int& port, std::string& innerPath) {
  std::lock_guard<std::mutex> lock(platform::ScaleOutStorageMutex());
  platform::ScaleOutStorage().calls.push_back("extract_gluster_volume_info " + path);
  const Found found = VolumeOf(path);
  if (found.volume == nullptr) return ENOENT;
  const platform::GlusterVolume* v = found.volume;
  std::string inner = path.substr(found.mountLength);
  if (inner.empty() || inner[0] != '/') inner.insert(inner.begin(), '/');
  host = v->host;
  volume = v->volume;
  port = v->port;
  innerPath = inner;
  return 0;
}
