// Where the NDMP tape media differ from the SCSI tape media, as one table: each row runs one
// scenario on a fresh drive, cartridge and media manager with either class and compares what it
// observed with what that class is to do. Rows where both classes agree show the sound behaviour
// both keep where a step could otherwise read a missing record or write over closed files.

#include <sstream>
#include <type_traits>

#include "tape_fixture.h"

namespace {

using namespace tapetest;
using platform::MediaManager;
using platform::TapeFault;

template <class... Parts>
std::string Said(const Parts&... parts) {
  std::ostringstream out;
  (out << ... << parts);
  return out.str();
}

template <class Media>
class TapeDifferences : public TapeTestT<Media> {
 public:
  using typename TapeTestT<Media>::Tape;

  void Fresh() {
    platform::ResetAll();
    this->SetUp();
  }

  // A backup object with a new chunk created.
  std::unique_ptr<Tape> Creating(JobSetup& s, long long chunkId = 1) {
    auto tape = this->Start(s);
    MediaFSArchiveFileId_t id = this->Id(CHUNK, chunkId);
    EXPECT_EQ(0, tape->Create(&id));
    return tape;
  }

  // The record index just after file mark `file - 1`: the start of file `file`.
  size_t StartOfFile(long long file) {
    const platform::VirtualTape& t = *this->Library().Slot(kDevice)->tape;
    long long marks = 0;
    for (size_t i = 0; i < t.size(); ++i) {
      if (marks == file - 1) return i;
      if (t.record(i).mark) ++marks;
    }
    return t.size();
  }

  static std::string FullReasons() {
    std::string reasons;
    for (const platform::MMCall& c : MediaManager().CallsOf("markFull", kVolId)) {
      reasons += (reasons.empty() ? "" : ",") + std::to_string(c.args[0]);
    }
    return reasons.empty() ? "none" : reasons;
  }
};

template <class Media>
using Fixture = TapeDifferences<Media>;

// ---- Scenarios: each returns what it observed ---------------------------------------------------

template <class Media>
std::string FailedBlock(Fixture<Media>& f) {
  JobSetup s = f.Job();
  auto tape = f.Creating(s);
  tape->SetWriteRetryOptions(true, 3);
  const long long made = f.Library().objectsMade;
  f.Library().Fail(kDevice, TapeFault{"writeData", kTapeIoError, 1, 1, 1000, 0});
  const std::string block = Pattern(f.block, 1);
  bool eom = false;
  const int rc = tape->Write2(block.data(), f.block, eom);
  return Said("retry supported=", tape->WriteRetrySupported(), " write=", rc,
              " drive objects made=", f.Library().objectsMade - made);
}

template <class Media>
std::string LeotInABlock(Fixture<Media>& f) {
  platform::TapeGeometry g;
  g.earlyWarning = static_cast<long long>(f.block);  // right after the label
  f.LoadCartridge(g);
  JobSetup s = f.Job();
  auto tape = f.Creating(s);
  const std::string block = Pattern(f.block, 2);
  bool eom = false;
  const int rc = tape->Write2(block.data(), f.block, eom);
  return Said("write=", rc, " end of media=", eom, " close chunk=", tape->GetCloseChunkFlag(),
              " volume full=", tape->m_bVolumeFull, " marked full=", f.FullReasons());
}

template <class Media>
std::string LeotAtTheFileMark(Fixture<Media>& f) {
  JobSetup s = f.Job();
  auto tape = f.Creating(s);
  const std::string block = Pattern(f.block, 3);
  EXPECT_EQ(static_cast<int>(f.block), tape->Write(block.data(), f.block));
  f.Library().Fail(kDevice, TapeFault{"writeFileMarks", kTapeEarlyWarning, 1, 1, -1, 0});
  const int rc = tape->Close();
  return Said("close=", rc, " shown=", tape->m_strLastErrorMsg.find("WriteFileMark Failed") == 0,
              " volume full=", tape->m_bVolumeFull, " recorded=", MediaManager().Count("incrNumFiles"));
}

// The media manager knows only the label; the tape holds one more file after it.
template <class Media>
std::string EndOfDataCheck(Fixture<Media>& f, int setting, bool fileAfterAppendPoint, const char* failingOp) {
  if (fileAfterAppendPoint) {
    EXPECT_TRUE(platform::WriteTapeFile(
        f.cartridge, {{platform::FormatTapeLabel(kMediaId, f.block)}, {Pattern(f.block, 4)}}));
    f.LoadCartridge();
  }
  if (failingOp != nullptr) f.Library().Fail(kDevice, TapeFault{failingOp, kTapeHardwareError, 2, 1, -1, 0});
  JobSetup s = f.Job();
  auto tape = f.Start(s);
  tape->SetEndOfDataCheck(setting);
  const std::string data = Pattern(2 * f.block, 5);
  const long long marker = f.BackupChunk(*tape, 10, data);
  return Said("chunk file=", marker, " marked full=", f.FullReasons(),
              " checked=", platform::LogContains("Validated the filemarker position "),
              " skipped=", platform::LogContains("Skipping the check of end of tape after seek "));
}

template <class Media>
std::string AnotherFileMarkFollows(Fixture<Media>& f) {
  return EndOfDataCheck(f, 1, true, nullptr);
}

template <class Media>
std::string PositionCheckFails(Fixture<Media>& f) {
  return EndOfDataCheck(f, 1, false, "spaceFileMarksForward");
}

template <class Media>
std::string EndOfDataAtTheAppendPoint(Fixture<Media>& f) {
  return EndOfDataCheck(f, 1, false, nullptr);
}

template <class Media>
std::string EndOfDataCheckOff(Fixture<Media>& f) {
  return EndOfDataCheck(f, 0, true, nullptr);
}

template <class Media>
std::string Scsi3ReservationFails(Fixture<Media>& f) {
  f.Library().Fail(kDevice, TapeFault{"doForcePR_Reserve", kTapeHardwareError, 1, -1, -1, 0});
  JobSetup s = f.Job();
  s.oml.m_uiFlags |= OZMAOMLParams::kFlagScsi3Reservation;
  auto tape = f.NewTape(s);
  const int rc = tape->Init(f.Params(s), false);
  return Said("init=", rc, " tries=", f.Library().Count("doForcePR_Reserve"), " slept=", platform::SleptMs(),
              " last error=", tape->MediaFSGetLastError(), " key held=", !tape->m_strReservationKey.empty());
}

// The drive at the media path has another serial number; a rescan would find the right one.
template <class Media>
std::string SerialMismatch(Fixture<Media>& f) {
  const platform::TapeDriveSetup right = f.Library().Slot(kDevice)->setup;
  f.Library().Slot(kDevice)->setup.serialNumber = "OTHER";
  f.Library().AddDrive(kNewPath, right);
  EXPECT_TRUE(f.Library().LoadCartridge(kNewPath, f.cartridge));
  JobSetup s = f.Job();
  EnableRefresh(s, kNewPath);
  auto tape = f.NewTape(s);
  const int rc = tape->Init(f.Params(s), false);
  return Said("init=", rc, " last error=", tape->MediaFSGetLastError(),
              " rescans=", platform::LogCount("Re-Created OzScsiTape Object after rescan.."));
}

template <class Media>
std::string LibraryFlagsAndCallback(Fixture<Media>& f) {
  platform::Config().syncFileMarks = true;
  JobSetup s = f.Job();
  auto tape = f.Start(s);
  return Said("flag 0x1=", platform::TapeGlobalFlag(0x1), " flag 0x1000=", platform::TapeGlobalFlag(0x1000),
              " callback set=", platform::TapeCallbackSets());
}

// Codes of failed block writes and the soft errors, volume/drive, and cleaning marks they leave.
template <class Media>
std::string SoftErrors(Fixture<Media>& f) {
  std::string seen;
  for (int code : {kTapeCrcError, kTapeIoError, kTapeHardwareError, kTapeNeedsCleaning, kTapeMediumError}) {
    f.Fresh();
    JobSetup s = f.Job();
    s.oml.m_uiFlags |= OZMAOMLParams::kFlagCleanOnCrc;
    auto tape = f.Creating(s);
    f.Library().Fail(kDevice, TapeFault{"writeData", code, 1, 1, -1, 0});
    const std::string block = Pattern(f.block, 6);
    bool eom = false;
    EXPECT_EQ(-1, tape->Write2(block.data(), f.block, eom));
    const platform::MMVolume& v = MediaManager().volumes[kVolId];
    const platform::MMDrive& d = MediaManager().drives[kDriveId];
    seen += Said(seen.empty() ? "" : " ", tape->MediaFSGetLastError(), ":", v.softErrors, "/", d.softErrors,
                 d.needsCleaning ? "/clean" : "");
  }
  return seen;
}

// A restore job whose cached read position (inside file 2) the trailer after it confirms opens
// file 6: what is the read position cached with the media manager afterwards?
template <class Media>
std::string ReadPositionAfterAnOpen(Fixture<Media>& f) {
  std::vector<std::string> chunks;
  {
    JobSetup s = f.Job();
    auto tape = f.Start(s);
    for (int k = 0; k < 3; ++k) {
      chunks.push_back(Pattern(f.block + 10 * k, 7 + k));
      EXPECT_EQ(2 + 2 * k, f.BackupChunk(*tape, 100 + k, chunks.back()));
    }
  }
  f.Library().Slot(kDevice)->head = f.StartOfFile(2) + 1;
  JobSetup r = f.Job(0);
  r.reserve.m_cachedFileMark = 2;
  r.reserve.m_cachedFileMarkKind = 2;
  auto reader = f.Start(r);
  const bool restored = f.Restore(*reader, 6, chunks[2].size()) == chunks[2];
  return Said("restored=", restored,
              " validated=", platform::LogContains("Successfully validated the filemarker position on the media.."),
              " cached=", reader->m_llReadCachedFM,
              " recorded=", MediaManager().CallsOf("setFileMarker", kVolId).back().args[0]);
}

template <class Media>
std::string FactoryTexts(Fixture<Media>& f) {
  JobSetup s = f.Job();
  auto tape = f.NewTape(s);
  const platform::TapeCall call = f.Library().CallsOf("instance").back();
  return Said("texts=", call.texts.at(0), "|", call.texts.at(1), "|", call.texts.at(2), " driver mode=",
              call.args.at(2));
}

// The search starts at the trailer of the second chunk (file 5).
template <class Media>
std::string LocateChunk(Fixture<Media>& f) {
  JobSetup s = f.Job();
  auto tape = f.Start(s);
  EXPECT_EQ(2, f.BackupChunk(*tape, 5, Pattern(100, 8)));
  EXPECT_EQ(4, f.BackupChunk(*tape, 6, Pattern(100, 9)));
  const size_t start = f.StartOfFile(5);
  f.Library().Slot(kDevice)->head = start;
  const size_t calls = f.Library().calls.size();
  const int rc = tape->LocateChunk(6);
  return Said("locate=", rc, " drive calls=", f.Library().calls.size() - calls,
              " moved=", f.Library().Slot(kDevice)->head != start);
}

template <class Media>
std::string HardwareEncryption(Fixture<Media>& f) {
  JobSetup s = f.Job();
  auto tape = f.Start(s);
  unsigned char key[32] = {1, 2, 3};
  return Said("supported=", tape->isHardWareEncryptionSupported(), " enable=",
              tape->enableHardwareEncryption(sizeof(key), key), " disable=", tape->disableHardwareEncryption());
}

// A host that repositions itself after a failed block, then writes it again.
template <class Media>
std::string HostRepositionsAfterAFailedBlock(Fixture<Media>& f) {
  JobSetup s = f.Job();
  auto tape = f.Creating(s, 3);
  std::string written = Pattern(2 * f.block, 9);
  EXPECT_EQ(static_cast<int>(written.size()), tape->Write(written.data(), written.size()));
  f.Library().Fail(kDevice, TapeFault{"writeData", kTapeIoError, 1, 1, 1000, 0});
  const std::string block = Pattern(f.block, 10);
  bool eom = false;
  const int failed = tape->Write2(block.data(), f.block, eom);
  bool again = false;
  const int repositioned = tape->RepositionMediaForWrite(again);
  const int rewritten = tape->Write2(block.data(), f.block, eom);
  written += block;
  EXPECT_EQ(0, tape->Close());
  tape.reset();
  JobSetup r = f.Job(0);
  auto reader = f.Start(r);
  return Said("failed=", failed, " reposition=", repositioned, " retry allowed=", again, " rewritten=", rewritten,
              " restored=", f.Restore(*reader, 2, written.size()) == written);
}

template <class Media>
std::string NoDriveDetails(Fixture<Media>& f) {
  JobSetup s = f.Job();
  auto tape = f.NewTape(s);
  MediaFsInitParams p = f.Params(s);
  p.pDriveDetails = nullptr;
  const int rc = tape->Init(p, false);
  return Said("init=", rc, " message=", tape->m_strLastErrorMsg);
}

template <class Media>
std::string NoDriveObject(Fixture<Media>& f) {
  f.Library().Slot(kDevice)->setup.factoryFails = true;
  JobSetup s = f.Job();
  s.oml.m_uiFlags = OZMAOMLParams::kFlagScsi3Reservation;
  auto tape = f.NewTape(s);
  const int rc = tape->Init(f.Params(s), false);
  return Said("init=", rc, " last error=", tape->MediaFSGetLastError(), " text=", tape->m_strDeviceError);
}

template <class Media>
std::string PartialSerialMatch(Fixture<Media>& f) {
  JobSetup s = f.Job();
  s.oml.m_strSerialNumber = "1234567";  // inside the drive's "HU1234567"
  s.details.uiReservationFlags = MediaFSDriveDetails::kReserveScsi2;
  auto tape = f.NewTape(s);
  const int rc = tape->Init(f.Params(s), false);
  return Said("init=", rc, " reserved=", f.Library().Slot(kDevice)->scsi2Holder == s.job.jobId);
}

// ---- The table ----------------------------------------------------------------------------------

template <class Media>
struct Row {
  const char* name;
  std::string (*run)(Fixture<Media>&);
  const char* scsi;
  const char* ndmp;
};

template <class Media>
std::vector<Row<Media>> Differences() {
  return {
      {"a failed block is retried by the frame only on SCSI", &FailedBlock<Media>,
       "retry supported=1 write=65536 drive objects made=1", "retry supported=0 write=-1 drive objects made=0"},
      {"LEOT inside a block marks the volume full only on SCSI", &LeotInABlock<Media>,
       "write=65536 end of media=1 close chunk=1 volume full=1 marked full=42001",
       "write=65536 end of media=1 close chunk=1 volume full=1 marked full=none"},
      {"LEOT at the file mark is shown to the job only on NDMP; the close succeeds", &LeotAtTheFileMark<Media>,
       "close=0 shown=0 volume full=1 recorded=1", "close=0 shown=1 volume full=1 recorded=1"},
      {"another file mark after the append point", &AnotherFileMarkFollows<Media>,
       "chunk file=2 marked full=none checked=0 skipped=0", "chunk file=0 marked full=42009 checked=0 skipped=0"},
      {"the end-of-data check meets a hardware error", &PositionCheckFails<Media>,
       "chunk file=2 marked full=none checked=0 skipped=0", "chunk file=0 marked full=42033 checked=0 skipped=0"},
      {"the end-of-data check confirms the append point", &EndOfDataAtTheAppendPoint<Media>,
       "chunk file=2 marked full=none checked=0 skipped=0", "chunk file=2 marked full=none checked=1 skipped=0"},
      {"the end-of-data check set to 0", &EndOfDataCheckOff<Media>,
       "chunk file=2 marked full=none checked=0 skipped=0", "chunk file=2 marked full=none checked=0 skipped=1"},
      {"one SCSI-3 reservation try on NDMP, the last error left alone", &Scsi3ReservationFails<Media>,
       "init=-1 tries=3 slept=3000 last error=790 key held=0", "init=-1 tries=1 slept=0 last error=0 key held=0"},
      {"no rescan on NDMP", &SerialMismatch<Media>, "init=0 last error=0 rescans=1",
       "init=-1 last error=973 rescans=0"},
      {"no synchronous file-mark flag and no SCSI callback on NDMP", &LibraryFlagsAndCallback<Media>,
       "flag 0x1=1 flag 0x1000=1 callback set=1", "flag 0x1=1 flag 0x1000=0 callback set=0"},
      // (The frame's report of 793 to the job marks the drive for cleaning, whatever the class.)
      {"soft errors for 762 and 764 only on NDMP, no cleaning marks of its own", &SoftErrors<Media>,
       "762:1/1/clean 764:1/1 790:1/1 793:1/1/clean 843:6/0", "762:1/1 764:1/1 790:0/0 793:0/0/clean 843:0/0"},
      {"an open leaves the read cached file marker as it was on NDMP", &ReadPositionAfterAnOpen<Media>,
       "restored=1 validated=1 cached=6 recorded=6", "restored=1 validated=1 cached=2 recorded=2"},
      {"the three connection texts reach the drive factory", &FactoryTexts<Media>, "texts=|| driver mode=0",
       "texts=ndmp-server.example:10000|ndmp-user|ndmp-secret driver mode=0"},
      {"LocateChunk answers 1 without moving on NDMP", &LocateChunk<Media>, "locate=1 drive calls=4 moved=1",
       "locate=1 drive calls=0 moved=0"},
      {"no hardware encryption on NDMP", &HardwareEncryption<Media>, "supported=1 enable=1 disable=1",
       "supported=0 enable=0 disable=0"},
      {"a host repositions after a failed block", &HostRepositionsAfterAFailedBlock<Media>,
       "failed=-1 reposition=0 retry allowed=1 rewritten=65536 restored=1",
       "failed=-1 reposition=0 retry allowed=1 rewritten=65536 restored=1"},
      {"missing drive details fail the set-up", &NoDriveDetails<Media>,
       "init=-1 message=Scsi Update cannot be completed as the drive details are NULL",
       "init=-1 message=Scsi Update cannot be completed as the drive details are NULL"},
      {"a missing drive object fails the reservation with 994", &NoDriveObject<Media>,
       "init=-1 last error=994 text=No tape drive object could be made for the device path /dev/nst0",
       "init=-1 last error=994 text=No tape drive object could be made for the device path /dev/nst0"},
      {"a partial serial number match goes on to the reservation", &PartialSerialMatch<Media>,
       "init=0 reserved=1", "init=0 reserved=1"},
  };
}

TYPED_TEST_SUITE(TapeDifferences, TapeMediaTypes, TapeMediaNames);

TYPED_TEST(TapeDifferences, AsTheTableSays) {
  for (const Row<TypeParam>& row : Differences<TypeParam>()) {
    SCOPED_TRACE(row.name);
    this->Fresh();
    const std::string expected = std::is_same_v<TypeParam, nt_fs_tape> ? row.scsi : row.ndmp;
    EXPECT_EQ(expected, row.run(*this));
  }
}

}  // namespace
