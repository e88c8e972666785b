// The optical drive stand-in: files of the disk through the file-system layer, the quota and its
// short write, reads to the end of a file, handles, unusable drives and injected failures.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "platform/platform.h"
#include "temp_dir.h"

namespace {

using platform::OpticalFault;
using platform::OpticalLibrary;

class OpticalDrive : public ::testing::Test {
 protected:
  void SetUp() override {
    disk = dir / "disk";
    std::filesystem::create_directories(disk);
    OpticalLibrary().AddDrive(disk);
  }

  std::unique_ptr<OZScsiMODiskDrive> Drive() {
    long long job = 1;
    return std::unique_ptr<OZScsiMODiskDrive>(OZScsiMODiskDrive::instance(5, disk.c_str(), job, false));
  }

  int Create(OZScsiMODiskDrive& d, const std::string& name) {
    return d.open((disk + "/" + name).c_str(), OZScsiMODiskDrive::kAccessWrite, OZScsiMODiskDrive::kCreateAlways);
  }

  TempDir dir;
  std::string disk;
};

TEST_F(OpticalDrive, QuotaCutsTheWriteThatGoesPastIt) {
  std::ofstream(disk + "/old", std::ios::binary) << std::string(1000, 'o');
  OpticalLibrary().Slot(disk)->setup.quotaBytes = 5000;
  auto d = Drive();
  OZQuadWord freeBytes, totalBytes;
  ASSERT_NE(0, d->getFreeSpace(freeBytes, totalBytes));
  EXPECT_EQ(4000u, freeBytes.QuadPart());
  EXPECT_EQ(5000u, totalBytes.QuadPart());

  const int h = Create(*d, "new");
  ASSERT_GT(h, 0);
  const std::string data(3000, 'd');
  EXPECT_EQ(3000, d->write(h, data.data(), 3000));
  EXPECT_EQ(1000, d->write(h, data.data(), 3000));  // what fits
  std::string text;
  EXPECT_EQ(OZScsiMODiskDrive::kDiskFull, d->getLastError(text));
  EXPECT_EQ(0, d->write(h, data.data(), 1));
  EXPECT_EQ(0, d->close(h));
  EXPECT_EQ(4000u, std::filesystem::file_size(disk + "/new"));
  ASSERT_NE(0, d->getFreeSpace(freeBytes, totalBytes));
  EXPECT_EQ(0u, freeBytes.QuadPart());
}

TEST_F(OpticalDrive, ReadsHandlesAndFailures) {
  auto d = Drive();
  std::string logical;
  ASSERT_EQ(0, d->getLogicalDrive(logical));
  EXPECT_EQ(disk, logical);
  const int w = Create(*d, "f");
  ASSERT_EQ(5, d->write(w, "hello", 5));
  ASSERT_EQ(0, d->close(w));
  // Closing a written file flushes it and its folder.
  EXPECT_EQ(1, platform::Faults().Calls(platform::FsOp::Flush, disk + "/f"));
  EXPECT_GE(platform::Faults().Calls(platform::FsOp::Flush, disk), 2);

  const int r = d->open((disk + "/f").c_str(), OZScsiMODiskDrive::kAccessRead, OZScsiMODiskDrive::kOpenExisting);
  ASSERT_GT(r, 0);
  char buf[8];
  EXPECT_EQ(5, d->read(r, buf, 8));
  EXPECT_EQ(0, d->read(r, buf, 8));
  std::string text;
  EXPECT_EQ(OZScsiMODiskDrive::kEndOfFile, d->getLastError(text));
  EXPECT_EQ(0, d->close(r));
  EXPECT_EQ(-1, d->close(r));
  EXPECT_EQ(OZScsiMODiskDrive::kBadHandle, d->getLastError(text));
  EXPECT_EQ(0, d->open((disk + "/f").c_str(), 1, 1));
  EXPECT_EQ(OZScsiMODiskDrive::kBadArgument, d->getLastError(text));
  EXPECT_EQ(0, d->open((disk + "/missing").c_str(), OZScsiMODiskDrive::kAccessRead, OZScsiMODiskDrive::kOpenExisting));
  EXPECT_EQ(993, d->getLastError(text));

  // An injected failure: the write takes its count first.
  OpticalLibrary().Fail(disk, OpticalFault{"write", 766, 1, 1, 2, 0});
  const int w2 = Create(*d, "g");
  EXPECT_EQ(2, d->write(w2, "abcd", 4));
  EXPECT_EQ(766, d->getLastError(text));
  EXPECT_EQ(0, d->close(w2));
  EXPECT_EQ(2u, std::filesystem::file_size(disk + "/g"));
  EXPECT_EQ((std::vector<long long>{w2, 4}), OpticalLibrary().CallsOf("write").back().args);

  // A drive set up as unusable, and none at all.
  OpticalLibrary().Slot(disk)->setup.invalidCode = 798;
  auto bad = Drive();
  EXPECT_FALSE(bad->isValid());
  EXPECT_EQ(0, Create(*bad, "h"));
  EXPECT_EQ(798, bad->getLastError(text));
  OpticalLibrary().Slot(disk)->setup.factoryFails = true;
  EXPECT_EQ(nullptr, Drive());
}

}  // namespace
