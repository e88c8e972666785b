// What the core's mount path code shares about mount path texts.
#pragma once

#include <string>

// True when the text begins with one of the data server transport words and a bar ("IP|",
// "SAN|", "FC|", "ISCSI|"). Only such texts follow the data server grammar: a path on a Gluster
// volume, which media_fs::IsDataServerMountPath also counts, is reached as a plain disk path.
bool HasDataServerTransportPrefix(const std::string& path);
