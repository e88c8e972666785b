// The four index file kinds of the library; every other translation unit uses these.
#include "MediaFileSystem/SingleInstancerIndexFile.h"

template class CIndexFile<SSfileContainerIndexEntry, g_szSFileIndexHdrMagic>;
template class CIndexFile<SChunkMetaDataIndexEntry, g_szChunkIndexHdrMagic>;
template class CIndexFile<SChunkMetaDataIndexEntry90, g_szChunkIndexHdrMagic>;
template class CIndexFile<SHybridVolumeRecord, g_szHybridVolumeIndexHdrMagic>;
