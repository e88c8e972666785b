// Two tape objects on two threads, each with its own virtual drive and volume: both set the drive
// library's process-wide flags and callback while they back up and restore.

#include <thread>

#include "tape_fixture.h"

namespace {

using namespace tapetest;

class TwoDrives : public TapeTest {
 protected:
  // One job's life on its own drive: set-up, chunks written, chunks read back.
  void Worker(int index, std::string& failure) {
    const std::string device = "/dev/nst" + std::to_string(10 + index);
    const int volId = 20 + index;
    const std::string mediaId = "MEDIA-T" + std::to_string(index);
    for (int round = 0; round < 3; ++round) {
      JobSetup s = Job(kDataMoverModeBackup, 100 + index, volId, mediaId);
      s.oml.m_uiFlags = index == 0 ? 0 : OZMAOMLParams::kFlagLibraryFlag10Off | OZMAOMLParams::kFlagScsi3Reservation;
      auto tape = std::make_unique<TapeUnderTest>(&s.job, kMediaType, device.c_str(), index == 1);
      if (tape->Init(Params(s, kMediaType, volId, device), false) != 0) {
        failure = "init: " + tape->m_strLastErrorMsg;
        return;
      }
      std::vector<std::pair<long long, std::string>> written;
      for (int k = 0; k < 3; ++k) {
        const std::string data = Pattern(block + 100 * k, index * 100 + round * 10 + k);
        MediaFSArchiveFileId_t chunk = Id(CHUNK, k);
        if (WriteFile(*tape, chunk, data) != 0) {
          failure = "write: " + std::string(tape->GetErrorString());
          return;
        }
        written.emplace_back(tape->GetFileNumber(), data);
      }
      tape.reset();
      JobSetup r = Job(0, 200 + index, volId, mediaId);
      auto reader = std::make_unique<TapeUnderTest>(&r.job, kMediaType, device.c_str(), false);
      if (reader->Init(Params(r, kMediaType, volId, device), false) != 0) {
        failure = "reader init";
        return;
      }
      for (auto it = written.rbegin(); it != written.rend(); ++it) {
        if (Restore(*reader, it->first, it->second.size()) != it->second) {
          failure = "restore of file " + std::to_string(it->first);
          return;
        }
      }
    }
  }
};

TEST_F(TwoDrives, TwoJobsOnTwoThreads) {
  for (int i = 0; i < 2; ++i) {
    const std::string device = "/dev/nst" + std::to_string(10 + i);
    platform::TapeDriveSetup drive;
    drive.serialNumber = kSerial;
    Library().AddDrive(device, drive);
    const std::string file = dir / ("t" + std::to_string(i) + ".vtape");
    ASSERT_TRUE(platform::WriteTapeFile(file, {{platform::FormatTapeLabel("MEDIA-T" + std::to_string(i), block)}}));
    ASSERT_TRUE(Library().LoadCartridge(device, file));
    platform::MediaManager().volumes[20 + i].numFiles = 1;
  }
  std::string failures[2];
  std::thread a([&] { Worker(0, failures[0]); });
  std::thread b([&] { Worker(1, failures[1]); });
  a.join();
  b.join();
  EXPECT_EQ("", failures[0]);
  EXPECT_EQ("", failures[1]);
  // Every object set the callback; the flags are whatever the last setter left, flag 0x1 always.
  EXPECT_EQ(12, platform::TapeCallbackSets());
  EXPECT_TRUE(platform::TapeGlobalFlag(0x1));
  EXPECT_EQ(10u, Library().Files("/dev/nst10").size());
  EXPECT_EQ(10u, Library().Files("/dev/nst11").size());
}

}  // namespace
