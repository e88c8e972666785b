// The routines that the two tape media, SCSI (nt_fs_tape) and NDMP (ndmp_fs_tape), share. The
// classes are not derived from one another: each keeps its own members and slots, and hands
// itself to these routines, which work on the members both have (the drive object, the last
// drive result and the frame's state). Where the two differ only in a text, a set of codes or
// one step, the difference is a parameter: a rule or road record that each class fills once,
// so the table of differences is in one place per class.
//
// A tape class befriends TapeRoutines<itself>. The definitions are split by concern:
// tape_routines_drive.h (the drive object, its errors, set-up and accounting),
// tape_routines_verify.h (the label and trailer checks, the end-of-data test) and
// tape_routines_io.h (positioning for a write or a read, blocks, the closing file mark).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "MediaFileSystem/MediaFSRecords.h"
#include "tape/nttape_internal.h"

namespace nttape {

// How one road counts a drive failure as soft errors of the volume and the drive.
struct SoftErrorRule {
  std::array<long long, 4> codes;  // the counted codes; 0 fills unused places
  const char* volumeLine;
  const char* driveLine;
  const char* cleaningLine;  // null: the class never marks the drive for cleaning
  bool mediaIdFirst;         // the media ID is asked before each count
  bool mediumErrors;         // a medium error (843) adds 6 soft errors to the volume

  bool Counts(long long code) const {
    for (long long c : codes) {
      if (c != 0 && c == code) return true;
    }
    return false;
  }
};

// The chunk map trailer checks of the cached positions.
struct TrailerCheck {
  bool byteEdits;              // the two bytes near the block's end are set before parsing
  bool spacingSetsLastError;   // a failing forward spacing leaves the drive error as last error
  const char* shortReadFormat;  // (media path, volume id); the trailer before the append point
  const char* parseFailureLine;  // the trailer before the append point did not parse
};

// The spacing to the append point of the first create after Init.
struct AppendSpacing {
  const char* forwardFormat;  // (file number, volume id)
  SoftErrorRule softErrors;
  const char* source;  // the source name of the failure line
};

// The positioning of an open.
struct ReadPositioning {
  const char* forwardFormat;  // (file marks, volume id)
  bool rewindFailureSetsLastError;
  SoftErrorRule softErrors;
  bool recordsOpenedFile;  // the read cached file marker becomes the opened file's
  const char* source;
};

// A block write with its one retry at the logical end of the tape.
struct WriteRoad {
  const char* shortWriteFormat;   // (count, pass, file number, media path, volume id)
  bool leotReportedAsFailure;     // LEOT is first reported like any failed write
  bool leotMarksFull;             // LEOT marks the volume full (42001)
  const char* leotWholeFormat;    // (file number, media path, volume id, pass)
  const char* leotWholeNote;      // logged after it; may be null
  const char* leotPartFormat;     // (file number, media path, volume id, count)
  SoftErrorRule ioErrors;         // the I/O codes: counted and shown
  const char* retryFailureFormat;  // (file number, media path, volume id, count)
  bool retryFailureMarksFull;
};

template <class Tape>
struct TapeRoutines {
  // ---- The drive object and its errors (tape_routines_drive.h) --------------------------------
  // The drive error step: the drive's last error, its text into the device error text, its code
  // converted to a media manager code. Without a drive object: 994 and a text of ours.
  static long long DriveError(Tape& t);
  // The drive error as the last error, its text as the last error message.
  static long long TakeDriveError(Tape& t);
  static bool HasDriveObject(const Tape& t) { return t.m_pDrive != nullptr && t.m_pDrive->isValid(); }
  // False, with the last error 994 set, when there is no drive object to work with.
  static bool RequireDrive(Tape& t);
  // Deletes the drive object, closing its device first.
  static void DropDriveObject(Tape& t);
  // Formats the error text and logs it at `level`.
  static void ErrorText(Tape& t, int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  // The frame's Init leaves the write flag clear; until an archive file is created, a backup job
  // is the write side.
  static bool InWriteMode(const Tape& t);
  static void ApplySoftErrorRule(Tape& t, long long code, const SoftErrorRule& rule, bool cleanOnCrc);

  // ---- Set-up ------------------------------------------------------------------------------------
  // InitSpecific's first step outside the reader mode: the label parameters and the drive details
  // must be there. 0, or -1 with the text for the job (the last error left as it was).
  static int RequireInitRecords(Tape& t);
  // The drive library's flags 0x100, 0x10 and 0x1 from the label parameters, and 0x1000 when
  // `syncFileMarks` asks for the ZovadAdeve's switch.
  static void SetLibraryFlags(Tape& t, bool syncFileMarks);
  enum class Serial { Exact, Partial, Failed, Mismatch };
  // One check of the drive's serial number against the expected one. Mismatch leaves 973 and
  // its text as the last error.
  static Serial MatchSerialNumber(Tape& t);
  // The SCSI-2 reservation when the drive details ask for one. 0 or -1.
  static int ReserveScsi2(Tape& t);
  // Read side only: a new drive object (`construct`) and a new InitSpecific. 0 or -1.
  template <class Construct>
  static int ReInitialize(Tape& t, Construct construct);

  // ---- Accounting --------------------------------------------------------------------------------
  static int UpdateNumPhysicalBytes(Tape& t, long long writeTime);
  static long long GetRemainingSpace(Tape& t);

  // ---- The label, the trailers and the end of the data (tape_routines_verify.h) ----------------
  static int OpenAndPrepare(Tape& t, bool blockSizeFirstInLine);
  static int VerifyMediaUsingOML(Tape& t);
  static int VerifyTrailerBeforeAppendPoint(Tape& t, const TrailerCheck& check);
  static int VerifyTrailerAfterReadPosition(Tape& t, const TrailerCheck& check);
  static int IsCurrentPositionEndOfValidData(Tape& t, bool& found);
  static int ResetFileMarkerOnMedia(Tape& t);
  static int LoadAndRewind(Tape& t);
  static void ReportLoadFailure(Tape& t, bool afterLabel);
  // Reads one block and parses it as a chunk map trailer: 0, -1 short read (its text formatted
  // with `shortReadFormat`), -2 not a trailer.
  static int ReadTrailerBlock(Tape& t, ChunkMapTrailerInfo& info, bool byteEdits, const char* shortReadFormat);
  static int ParseTrailerBlock(Tape& t, char* block, size_t size, bool byteEdits, ChunkMapTrailerInfo& info);
  static bool TrailerNamesThisTape(const Tape& t, const ChunkMapTrailerInfo& info);
  // Spaces forward over one file mark; a failure is logged with the caller's line and
  // `afterFailure` (when given), and leaves the drive error as the last error when asked.
  static int ForwardOneFileMark(Tape& t, int line, const char* afterFailure, bool setLastError);

  // ---- Positioning, blocks and the closing file mark (tape_routines_io.h) ----------------------
  // The first create's append point from the volume's file count: the count, or -1 (30029).
  static long long AppendFileCount(Tape& t);
  // A failed compression setting never fails the create.
  static void SetCompressionOnDrive(Tape& t, bool beforePositioning);
  // The tape is at its beginning: space forward over the files, or find the end of WORM media.
  static int SpaceToAppendPoint(Tape& t, bool wormDetection, const AppendSpacing& road, bool cleanOnCrc);
  static int PositionOnWorm(Tape& t, int wormType);
  // The first open after Init (and the open after a failed one): from the label at the beginning
  // of the tape, or from the cached read position when the trailer after it confirms it
  // (`beforeCheck` runs first); otherwise from the beginning, logging `notValidatedLine`. 0 or -1.
  template <class BeforeCheck>
  static int PrepareFirstOpen(Tape& t, const char* notValidatedLine, BeforeCheck beforeCheck);
  // OpenSpecific's positioning: the first open after Init, and every open after a failed one,
  // goes through PrepareFirstOpen before spacing to the start of file `fileMarker`. 0 or -1.
  template <class BeforeCheck>
  static int OpenForRead(Tape& t, long long fileMarker, const char* notValidatedLine, BeforeCheck beforeCheck,
                         const ReadPositioning& road, bool cleanOnCrc);
  // From the file number to the start of file `fileMarker`. 0 or -1.
  static int PositionForRead(Tape& t, long long fileMarker, const ReadPositioning& road, bool cleanOnCrc);
  static int ReadBlock(Tape& t, char* buf, long len, const SoftErrorRule& rule, bool cleanOnCrc);
  static int WriteBlock(Tape& t, const char* buf, long len, int* eom, const WriteRoad& road, bool cleanOnCrc);
  // The file mark of a written archive file. 0 or -1.
  static int WriteClosingFileMark(Tape& t, bool reportLeot);
  // Back to where the failed block was to go, with a new drive object (`construct`).
  template <class Construct>
  static int RepositionForWrite(Tape& t, bool& retryAllowed, const char* function, Construct construct);

 private:
  static int FailPositioning(Tape& t, long long fileMarker, const ReadPositioning& road, bool cleanOnCrc);
  static void ReportWriteFailure(Tape& t, long long code);
  static int WriteFailure(Tape& t, long long code, long long count, long long pass, bool retryPass,
                          const WriteRoad& road, bool cleanOnCrc);
  static int EndOfDataStepFailed(Tape& t, const char* errorFormat, const char* failure);
};

}  // namespace nttape

#include "tape/tape_routines_drive.h"
#include "tape/tape_routines_io.h"
#include "tape/tape_routines_verify.h"
