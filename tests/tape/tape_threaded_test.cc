// Tape objects on two threads, each with its own virtual drive and volume: SCSI and NDMP tape
// media alike set the drive library's process-wide flags (and the SCSI ones its callback) while
// they back up and restore.

#include <thread>

#include "tape_fixture.h"

namespace {

using namespace tapetest;

class TwoDrives : public TapeTest {
 protected:
  void SetUp() override {
    TapeTest::SetUp();
    for (int i = 0; i < 2; ++i) {
      const std::string device = Device(i);
      platform::TapeDriveSetup drive;
      drive.serialNumber = kSerial;
      Library().AddDrive(device, drive);
      const std::string file = dir / ("t" + std::to_string(i) + ".vtape");
      ASSERT_TRUE(platform::WriteTapeFile(file, {{platform::FormatTapeLabel(MediaId(i), block)}}));
      ASSERT_TRUE(Library().LoadCartridge(device, file));
      platform::MediaManager().volumes[20 + i].numFiles = 1;
    }
  }

  static std::string Device(int index) { return "/dev/nst" + std::to_string(10 + index); }
  static std::string MediaId(int index) { return "MEDIA-T" + std::to_string(index); }

  // One job's life on its own drive: set-up, chunks written, chunks read back.
  template <class Media>
  void Worker(int index, std::string& failure) {
    using Kind = TapeKind<Media>;
    const std::string device = Device(index);
    const int volId = 20 + index;
    for (int round = 0; round < 3; ++round) {
      JobSetup s = Job(kDataMoverModeBackup, 100 + index, volId, MediaId(index));
      s.oml.m_uiFlags = index == 0 ? 0 : OZMAOMLParams::kFlagLibraryFlag10Off | OZMAOMLParams::kFlagScsi3Reservation;
      auto tape = Kind::Make(&s.job, device, index == 1);
      if (tape->Init(Params(s, kMediaType, volId, device), false) != 0) {
        failure = "init: " + tape->m_strLastErrorMsg;
        return;
      }
      std::vector<std::pair<long long, std::string>> written;
      for (int k = 0; k < 3; ++k) {
        const std::string data = Pattern(block + 100 * k, index * 100 + round * 10 + k);
        MediaFSArchiveFileId_t chunk = Id(CHUNK, k);
        if (TapeTestT<Media>::WriteFile(*tape, chunk, data) != 0) {
          failure = "write: " + std::string(tape->GetErrorString());
          return;
        }
        written.emplace_back(tape->GetFileNumber(), data);
      }
      tape.reset();
      JobSetup r = Job(0, 200 + index, volId, MediaId(index));
      auto reader = Kind::Make(&r.job, device, false);
      if (reader->Init(Params(r, kMediaType, volId, device), false) != 0) {
        failure = "reader init";
        return;
      }
      for (auto it = written.rbegin(); it != written.rend(); ++it) {
        if (TapeTestT<Media>::Restore(*reader, it->first, it->second.size()) != it->second) {
          failure = "restore of file " + std::to_string(it->first);
          return;
        }
      }
    }
  }

  template <class First, class Second>
  void RunBoth() {
    std::string failures[2];
    std::thread a([&] { Worker<First>(0, failures[0]); });
    std::thread b([&] { Worker<Second>(1, failures[1]); });
    a.join();
    b.join();
    EXPECT_EQ("", failures[0]);
    EXPECT_EQ("", failures[1]);
    // The flags are whatever the last setter left, flag 0x1 always.
    EXPECT_TRUE(platform::TapeGlobalFlag(0x1));
    EXPECT_EQ(10u, Library().Files(Device(0)).size());
    EXPECT_EQ(10u, Library().Files(Device(1)).size());
  }
};

TEST_F(TwoDrives, TwoJobsOnTwoThreads) {
  RunBoth<nt_fs_tape, nt_fs_tape>();
  // Every SCSI tape object set the callback.
  EXPECT_EQ(12, platform::TapeCallbackSets());
}

TEST_F(TwoDrives, ScsiAndNdmpJobsOnTwoThreads) {
  RunBoth<nt_fs_tape, ndmp_fs_tape>();
  EXPECT_EQ(6, platform::TapeCallbackSets());
}

}  // namespace
