// The media header and trailer texts and their archive files, and the start of a catalog scan.

#include <cstdio>
#include <cstring>
#include <ctime>

#include "MediaFileSystem/zovadAdeveFS.h"

namespace {

// Pads a label text with blanks to exactly kMediaLabelSize characters and terminates it.
void PadLabel(char* label, size_t size) {
  const size_t length = std::strlen(label);
  if (length < size) std::memset(label + length, ' ', size - length);
  label[size] = '\0';
}

}  // namespace

char* media_fs::GetHeader() {
  std::snprintf(m_szHeader, sizeof(m_szHeader),
                "MEDIA_HEADER_VERSION 1 \n HeaderSize %d \n VolId %d \n CreateTime %lld \n "
                "MEDIA_HEADER_END 1 \n",
                kMediaLabelSize, m_iVolId, static_cast<long long>(std::time(nullptr)));
  PadLabel(m_szHeader, kMediaLabelSize);
  return m_szHeader;
}

char* media_fs::GetTrailer() {
  std::snprintf(m_szTrailer, sizeof(m_szTrailer),
                "MEDIA_TRAILER_VERSION 1 \n TrailerSize %d \n VolId %d \n CompTime %lld \n "
                "NumFiles %ld \n MEDIA_TRAILER_END 1 \n",
                kMediaLabelSize, m_iVolId, static_cast<long long>(std::time(nullptr)),
                static_cast<long>(m_llNumFiles));
  PadLabel(m_szTrailer, kMediaLabelSize);
  return m_szTrailer;
}

int media_fs::WriteMediaHeader(const MediaFSArchiveFileId_t* id) {
  GetHeader();
  if (Write(m_szHeader, kMediaLabelSize) != kMediaLabelSize) {
    FailText(" Could not write the media header on the VolId=%d", m_iVolId);
    return -1;
  }
  if (Close() != 0) {
    FailText("Could not close after writing the media header on the VolId=%d", m_iVolId);
    return -1;
  }
  Log(1, "Created the Media Header for VolId=%d FM=%ld", m_iVolId, static_cast<long>(m_llNumFiles));
  if (Create(id, 0) != 0) {
    FailText(" Could not set position after writing the media header on the VolId=%d", m_iVolId);
    return -1;
  }
  return 0;
}

int media_fs::WriteMediaTrailer(const MediaFSArchiveFileId_t* id) {
  GetTrailer();
  // The reader mode has no volume record to mark.
  if (m_pVolInfo != nullptr) m_pVolInfo->markFull(kVolumeFullReasonFull, JobId());
  if (Create(id, 0) != 0) {
    FailText("Could not create media trailer on the VolId=%d", m_iVolId);
    return -1;
  }
  Log(1, "Writing Media Trailer VolId=%d,  FM=%ld", m_iVolId, static_cast<long>(m_llFileNumber));
  if (Write(m_szTrailer, kMediaLabelSize) != kMediaLabelSize) {
    FailText("Could not write the media trailer on the VolId=%d", m_iVolId);
    return -1;
  }
  if (Close() != 0) {
    FailText("Could not close after writing the media trailer on the VolId=%d", m_iVolId);
    return -1;
  }
  return 0;
}

int media_fs::InitCatalogOperation(int n) {
  Log(1, "Going to start Catalog Operation On Media ");
  if (InitCatalogOperationOnMedia(n) != 0) {
    Log(1, "Init catalog operation on Media Failed ");
    return -1;
  }
  return 0;
}
