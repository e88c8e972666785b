// Closing a chunk, on both roads, with one sequence of steps that each do nothing when their
// object is not open. A backup writes both buffers out, closes the metadata file and the indexes,
// settles the flush queues (a flush not yet started is withdrawn, a running one is waited for, a
// parked container is closed unflushed) and removes an SFile container and a container index
// that this job created but never indexed an object into. A restore closes its reader, indexes
// and "NFILE_CONTAINER" and gives the SILO volume lock back. Every step runs after a failed one;
// the result is -1 when any failed, and the last error is the first recorded failure's.

#include "MediaFileSystem/RealMagnetic.h"
#include "MediaFileSystem/SingleInstancerFS.h"
#include "sistore/data_file_readers.h"
#include "sistore/silo_volume_db.h"

namespace {

const char kOp[] = "CloseSpecific";

#define CLOSE_ASSERT(expr, text) \
  ozassert(static_cast<bool>(expr), text, "SingleInstancerFS", "SingleInstancer_FS::CloseSpecific", __LINE__)

}  // namespace

int SingleInstancer_FS::CloseSpecific(long) {
  Log(5, "CloseSpecific has been called");
  m_TotalBytesWritten = 0;
  std::optional<CImpersonator> scope;
  if (!EnterImpersonation(scope, kOp)) return -1;

  bool failed = false;
  auto record = [&](const CXoError& e) {
    if (!failed) ConvertAndSetLastMMError(e);
    failed = true;
  };
  try {
    const int written = WriteCacheBuffersToFile(-1, true);
    if (written != 0) {
      Log(1, "%s: [ERROR] Cannot Flush cache buffer (%d)", kOp, written);
      failed = true;
    }
    StartTimedOperation();

    if (m_pFdMetaDataFile != nullptr && m_pFdMetaDataFile->IsValid()) {
      FinalizeChunkForBackup(m_pFdMetaDataFile, false, m_MetaDataFileOffset);
      CXoError e = m_pFdMetaDataFile->Close();
      if (e.IsFailure()) {
        Log(1, "%s: Cannot close the metadata file, error=%s", kOp, e.AsString().c_str());
        ConvertAndSetLastMMError(e);
        failed = true;
      }
    }
    for (CXoError e : {m_fdChunkMDIdx.Close(), m_fdChunkMDIdx90.Close()}) {
      if (e.IsFailure()) {
        Log(1, "%s: Cannot close the metadata index file, error=%s", kOp, e.AsString().c_str());
        record(e);
      }
    }
    m_MDIdxState = -1;
    if (m_pMetaDataReader != nullptr && m_pMetaDataReader->IsValid()) {
      CXoError e = m_pMetaDataReader->Close();
      if (e.IsFailure()) {
        Log(1, "%s: Cannot close the metadata file, error=%s", kOp, e.AsString().c_str());
        record(e);
      }
    }

    Log(2, "%s: Delayed Flush Queue Size [%d], Busy Queue [%d], Avg Flush Wait [%f] Sec(s), Samples [%d]", kOp,
        static_cast<int>(m_DelayedSfileFlushQ.size()), static_cast<int>(m_BusySfileFlushQ.size()),
        m_SfileFlushWaitCounter.GetAverageSeconds(), static_cast<int>(m_SfileFlushWaitCounter.GetSamples()));
    // A full container closed here is written out by that close (on a cloud mount path the close
    // is the upload): when it fails the container may not be stored, so the chunk is not either.
    // Every container is closed and back in the pool whatever the others did.
    auto closeQueued = [&](SFlushReq* req) {
      if (!req->bKeepOpen && req->pFile != nullptr) {
        CXoError e = req->pFile->Close();
        m_lstDataFileCache.push_back(req->pFile);
        if (e.IsFailure()) {
          Log(1, "%s: Unable to close data file [%s]. Error [%s]", kOp, req->strFileName.c_str(), e.AsString().c_str());
          record(e);
        }
      }
      FreeFlushReq(req);
    };
    // A flush that ended with an error means the container may not be on disk: never a success.
    for (SFlushReq* req : m_BusySfileFlushQ) {
      if (m_iCloudMode == 0 && m_pFileFlusher != nullptr) m_pFileFlusher->Cancel(req);
      if (req->Result.IsFailure()) {
        Log(1, "%s: Unable to flush data file [%s]. Error [%s]", kOp, req->strFileName.c_str(),
            req->Result.AsString().c_str());
        record(req->Result);
      }
      closeQueued(req);
    }
    m_BusySfileFlushQ.clear();
    for (SFlushReq* req : m_DelayedSfileFlushQ) closeQueued(req);
    m_DelayedSfileFlushQ.clear();

    const bool noRecords = !m_fdSFileIdx.IsValid() || m_fdSFileIdx.m_Header.TotalEntries == 0;
    if (m_pFdDataFile != nullptr) {
      CLOSE_ASSERT(!m_lstDataFileCache.empty() && m_pFdDataFile == m_lstDataFileCache.front(),
                   "m_pFdDataFile == *m_lstDataFileCache.begin()");
      if (m_pFdDataFile->IsValid()) {
        FinalizeChunkForBackup(m_pFdDataFile, true, m_DataFileOffset);
        // Only a container this job created, and into which no object was indexed, goes.
        const bool remove = m_bOZSIDevice && m_bCurSfileCreated && noRecords;
        CXoError e = m_pFdDataFile->Close();
        if (e.IsFailure()) {
          Log(1, "%s: Cannot close the data file, error=%s", kOp, e.AsString().c_str());
          record(e);
        }
        if (remove) {
          Log(1, "%s: Going to delete file [%s] as there are no entries in the data index file", kOp,
              m_strDataFileName.c_str());
          if (m_iCloudMode == 0) {
            e = RealMagneticFS::DeleteFile(m_pFSInterface, m_strDataFileName.c_str(), nullptr);
            if (e.IsFailure()) {
              Log(1, "%s: Cannot delete the data file [%s], error=%s", kOp, m_strDataFileName.c_str(),
                  e.AsString().c_str());
              failed = true;
            }
          }
        }
      }
    }
    m_bCurSfileCreated = false;
    if (CXoError e = CloseKeptContainers(); e.IsFailure()) {
      Log(1, "%s: Cannot close the data file, error=%s", kOp, e.AsString().c_str());
      record(e);
    }
    m_pDataFileReader = nullptr;
    CLOSE_ASSERT(m_lstDataFileCache.size() == static_cast<size_t>(m_MaxDelayedSfileFlushQSize),
                 "m_lstDataFileCache.size() == m_MaxDelayedSfileFlushQSize");

    if (m_fdSFileIdx.IsValid()) {
      const bool remove = m_bSfileIdxCreated && m_fdSFileIdx.m_Header.TotalEntries == 0;
      try {
        CImpersonator indexScope(m_LoggedOnUser.GetToken());
        CXoError e = m_fdSFileIdx.Close();
        if (e.IsFailure()) {
          Log(1, "%s: Cannot close the data index file [%s], error=%s", kOp, m_strSfileIdxName.c_str(),
              e.AsString().c_str());
          record(e);
        }
      } catch (const OzException& ex) {
        Log(1, "Failed to impersonate as user [%s]. Error [%s]", m_LoggedOnUser.GetDomainAndUser().c_str(),
            ex.text.c_str());
        MediaFSSetLastError(kMMErrImpersonationFailed);
        failed = true;
      }
      if (remove) {
        Log(1, "%s: Going to delete file [%s] as there are no entries in the data index file", kOp,
            m_strSfileIdxName.c_str());
        CXoError e = RealMagneticFS::DeleteFile(m_pFSInterface, m_strSfileIdxName.c_str(), nullptr);
        if (e.IsFailure()) {
          Log(1, "%s: Cannot delete the data file [%s], error=%s", kOp, m_strSfileIdxName.c_str(),
              e.AsString().c_str());
        }
      }
    }
    m_bSfileIdxCreated = false;

    if (m_pFdNonSIFile != nullptr && m_pFdNonSIFile->IsValid()) {
      CXoError e = m_pFdNonSIFile->Close();
      if (e.IsFailure()) {
        Log(1, "%s: Cannot close the non si data file [%s], error=%s", kOp, m_strNFileName.c_str(),
            e.AsString().c_str());
        record(e);
      }
    }
    for (CXoError e : {m_fdChunkMDIdx.Close(), m_fdChunkMDIdx90.Close()}) {
      if (e.IsFailure()) {
        Log(1, "%s: Cannot close the SI index file [%s], error=%s", kOp, m_strChunkMDIdxName.c_str(),
            e.AsString().c_str());
        record(e);
      }
    }

    if (m_iCloudMode != 0 && m_pVolInfo != nullptr && m_iMediaType != kMediaTypeReader) AccountCloudTransfers();

    if (m_bWriting) {
      if (m_bChunksReadOnly) {
        if (!m_strChunkDir.empty() && m_iCloudMode == 0) {
          const int rc = markMagneticPathReadOnly(m_strChunkDir.c_str());
          if (rc != 0) {
            EndTimedOperation(0);
            return rc;
          }
        }
        m_strMetaDataFileName.clear();
      }
    } else if (m_pSecondarySIVolDB != nullptr) {
      ReleaseSiloVolResourceLock(m_pSecondarySIVolDB->m_uVolId, false, false);
    }
    // What a failed write-out left behind belongs to this chunk alone.
    DropBufferedBytes(kOp);
    if (failed) diskMarkFull(static_cast<unsigned int>(m_llLastError));
    EndTimedOperation(0);
  } catch (const OzException& ex) {
    ReportScopeException(kOp, ex);
    return -1;
  }
  return failed ? -1 : 0;
}

// Adds the megabytes that the chunk's files moved to the volume's upload (backup) or download
// (restore) total; the counters are reset only after the media manager took them.
void SingleInstancer_FS::AccountCloudTransfers() {
  std::vector<CFileInterface*> files = {m_pFdDataFile,
                                        m_pFdNonSIFile,
                                        m_pFdMetaDataFile,
                                        m_pMetaDataReader != nullptr ? m_pMetaDataReader->GetFileInterface() : nullptr,
                                        m_fdSFileIdx.GetFileInterface(),
                                        m_fdChunkMDIdx.GetFileInterface()};
  if (m_pKeptContainers) {
    for (CFileInterface* kept : m_pKeptContainers->Files()) files.push_back(kept);
  }
  int32_t megabytes = 0;
  for (CFileInterface* f : files) {
    if (f != nullptr) megabytes += static_cast<int32_t>(m_bWriting ? f->GetUploadedMB() : f->GetDownloadedMB());
  }
  if (megabytes < 1) return;
  if (m_bWriting) {
    if (m_pVolInfo->incrUploadDataForVolume(megabytes) == 0) {
      for (CFileInterface* f : files) {
        if (f != nullptr) f->ResetUploadedMB();
      }
    } else {
      Log(1, "Failed to add [%d] MBs to total Uploaded Bytes for the volume.", megabytes);
    }
  } else if (m_pVolInfo->incrDownloadDataForVolume(megabytes) == 0) {
    Log(1, "Added [%d] MBs to total Downloaded Bytes for the volume.", megabytes);
    for (CFileInterface* f : files) {
      if (f != nullptr) f->ResetDownloadedMB();
    }
  } else {
    Log(1, "Failed to add [%d] MBs to total Downloaded Bytes for the volume.", megabytes);
  }
}
