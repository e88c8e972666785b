// Arbitrary text as a mount path: the data server grammar and the Gluster path split must neither
// crash nor read past the text, and what they accept must be what the text says. The text is a
// string of exactly the input's bytes, so AddressSanitizer stops any access past its end.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "MediaFileSystem/zovadAdeveFS.h"
#include "fuzz_seeds.h"
#include "platform/platform.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

void SetUpOnce() {
  static const bool done = [] {
    platform::ScaleOutStorage().volumes.push_back({"/gv", "node1", "gv", 24007});
    platform::Config().SetNumber("ZovadAdeve", "nEnableLibGFAPI", 1);
    return true;
  }();
  (void)done;
}

// Seeds: mount paths of each data server transport, a Gluster path of the known volume and a
// plain one.
std::vector<std::string> Seeds() {
  return {"IP|1|2|nas01|3|/export/mp", "SAN|1|2|h|3|/p", "FC|4|5|host|6|/dev/sdc", "ISCSI|7|8||9|/dev/sdb",
          "/gv/dir/mp1", "/mnt/disk/OZ_MAGNETIC"};
}

}  // namespace

MFS_FUZZ_SEEDS(Seeds)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SetUpOnce();
  const std::string text(reinterpret_cast<const char*>(data), size);

  DataServerMountPathInfo info;
  if (media_fs::ParseDataServerMountPath(text, info) == 1) {
    Check(std::count(text.begin(), text.end(), '|') == 5);
    Check(!info.m_Path.empty() && info.m_Path == text.substr(text.rfind('|') + 1));
    Check(info.m_IsDataServer && info.m_Transport != kDataServerTransportNone);
    Check(media_fs::IsDataServerMountPath(text));
  }

  DataServerMountPathInfo gluster;
  if (media_fs::ParseGlusterMountPath(text, gluster)) {
    Check(text.compare(0, 3, "/gv") == 0);
    Check(!gluster.m_Path.empty() && gluster.m_Path[0] == '/');
    Check(gluster.m_Transport == kDataServerTransportGluster && gluster.m_GlusterVolume == "gv");
  }

  CFSInitParams params;
  if (media_fs::GetFSInitParams(1, text, 0, 0, "u", "p", params).IsSuccess()) {
    Check(params.m_Type == kFSTypeDisk || params.m_Type == kFSTypeDataServerIP);
  }
  (void)convertSlashes(text.c_str());
  // The stand-ins record each call; a long run must not grow without bound.
  if (platform::ScaleOutStorage().calls.size() > 1024) platform::ScaleOutStorage().calls.clear();
  return 0;
}
