// The definitions of the index file template, by concern, and its four instantiations: the only
// translation unit that compiles the template's body. Every other one uses the public header,
// whose extern template declarations point it here.
#include "MediaFileSystem/SingleInstancerIndexFile.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>

#include "DataServerAPI/HPStoreOnceInterfaceUnsupportedPlatform.h"
#include "index/IndexFileLockTable.h"
#include "platform/byte_order.h"
#include "platform/crc32.h"
#include "platform/local_files.h"
#include "platform/posix_file.h"

// Invariant reports name the template as their source and carry the invariant's text as the
// file's readers know it.
#define IDX_ASSERT_TEXT(expr, text) \
  ozassert(static_cast<bool>(expr), text, "index/SingleInstancerIndexFile", __PRETTY_FUNCTION__, __LINE__)
#define IDX_ASSERT(expr) IDX_ASSERT_TEXT(expr, #expr)

#define IDX_TEMPLATE template <typename IndexRecord, const char* IndexHdrMagic>
#define IDX_CLASS CIndexFile<IndexRecord, IndexHdrMagic>
#include "index/SingleInstancerIndexFileLifecycle.h"
#include "index/SingleInstancerIndexFilePageCache.h"
#include "index/SingleInstancerIndexFileLocks.h"
#include "index/SingleInstancerIndexFileJournal.h"
#include "index/SingleInstancerIndexFileReplay.h"
#include "index/SingleInstancerIndexFileEntries.h"

template class CIndexFile<SSfileContainerIndexEntry, g_szSFileIndexHdrMagic>;
template class CIndexFile<SChunkMetaDataIndexEntry, g_szChunkIndexHdrMagic>;
template class CIndexFile<SChunkMetaDataIndexEntry90, g_szChunkIndexHdrMagic>;
template class CIndexFile<SHybridVolumeRecord, g_szHybridVolumeIndexHdrMagic>;
