// The reads ahead of the scanner and the writes behind it: the bytes are the file's own, a read
// ahead is only used where a read of the caller's would find the same, and a failed write is
// reported no later than the flush.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "platform/read_ahead.h"
#include "platform/write_behind.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t bufferSize = 4096;

std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = uint8_t((i * 2654435761u + seed) >> 13);
  return bytes;
}

class ThreadedFiles : public ::testing::Test {
 protected:
  ThreadedFiles() {
    std::string name = (fs::temp_directory_path() / "tarsel-threads-XXXXXX").string();
    dir_ = mkdtemp(name.data());
  }
  ~ThreadedFiles() override { fs::remove_all(dir_); }
  std::string file(const char* name) const { return (dir_ / name).string(); }
  std::vector<uint8_t> contents(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  fs::path dir_;
};

struct TakeCase {
  const char* what;
  uint64_t readAt;   // where the read ahead starts
  uint64_t wanted;   // where the caller wants to read
  uint64_t claimedSize;  // the file size the caller knows
  size_t expected;   // bytes handed over (0: the caller reads for itself)
};

class ReadAheadTake : public ThreadedFiles, public ::testing::WithParamInterface<TakeCase> {};

constexpr uint64_t fileSize = 3 * bufferSize + 100;

TEST_P(ReadAheadTake, HandsOverOnlyWhatACallersReadWouldFind) {
  const TakeCase& c = GetParam();
  const std::vector<uint8_t> bytes = pattern(fileSize, 7);
  std::ofstream(file("in"), std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  int fd = ::open(file("in").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  platform::ReadAhead ahead(bufferSize);
  platform::MappedBytes buffer(bufferSize);
  uint64_t start = 12345;
  ahead.start(fd, c.readAt);
  size_t got = ahead.take(fd, c.wanted, c.claimedSize, buffer, start);
  EXPECT_EQ(got, c.expected) << c.what;
  if (got != 0) {
    EXPECT_EQ(start, c.readAt);
    EXPECT_TRUE(std::equal(buffer.get(), buffer.get() + got, bytes.begin() + long(c.readAt)));
  } else {
    EXPECT_EQ(start, 12345u) << "nothing changes when nothing is handed over";
  }
  EXPECT_EQ(ahead.take(fd, c.wanted, c.claimedSize, buffer, start), 0u) << "taken only once";
  ::close(fd);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadAheadTake,
    ::testing::Values(
        TakeCase{"at the start", 0, 0, fileSize, bufferSize},
        TakeCase{"16 bytes on", bufferSize, bufferSize + 16, fileSize, bufferSize},
        TakeCase{"17 bytes on", bufferSize, bufferSize + 17, fileSize, 0},
        TakeCase{"before the read", bufferSize, bufferSize - 1, fileSize, 0},
        TakeCase{"the tail up to the end", 3 * bufferSize, 3 * bufferSize, fileSize, 100},
        TakeCase{"a short read before the end the caller knows", 3 * bufferSize, 3 * bufferSize,
                 fileSize + 1, 0},
        TakeCase{"past the end", fileSize, fileSize, fileSize, 0}),
    [](const ::testing::TestParamInfo<TakeCase>& param) { return "case" + std::to_string(param.index); });

TEST_F(ThreadedFiles, AReadAheadOfAnotherFileOrDroppedIsNotTaken) {
  std::ofstream(file("in"), std::ios::binary) << std::string(2 * bufferSize, 'x');
  int fd = ::open(file("in").c_str(), O_RDONLY);
  int other = ::open(file("in").c_str(), O_RDONLY);
  platform::ReadAhead ahead(bufferSize);
  platform::MappedBytes buffer(bufferSize);
  uint64_t start = 0;
  ahead.start(fd, 0);
  EXPECT_EQ(ahead.take(other, 0, 2 * bufferSize, buffer, start), 0u);
  ahead.start(fd, 0);
  ahead.drop();
  EXPECT_EQ(ahead.take(fd, 0, 2 * bufferSize, buffer, start), 0u);
  ::close(fd);
  ::close(other);
}

// Writes of every size, across and beyond the buffers, arrive in order, written behind or not,
// copied or lent from their owners' storage between copied ones. A loan lasts until the thread
// has written it (all are back after the flush); without the thread the bytes are copied and
// the owner is free at once.
TEST_F(ThreadedFiles, AppendedAndLentBytesArriveInOrder) {
  const std::vector<uint8_t> bytes = pattern(40 * bufferSize + 77, 3);
  platform::WriteBehind writer(bufferSize, 3);
  for (bool overlapped : {true, false}) {
    for (bool lending : {false, true}) {
      std::string path = file(overlapped ? (lending ? "lent-behind" : "behind") : (lending ? "lent-inline" : "inline"));
      int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ASSERT_GE(fd, 0);
      writer.begin(fd, overlapped);
      std::vector<std::shared_ptr<platform::LendableBytes>> owners;
      size_t at = 0;
      for (size_t step = 1; at < bytes.size(); ++step) {
        size_t n = std::min((step * 2654435761u) % (3 * bufferSize) + 1, bytes.size() - at);
        if (lending && step % 3 != 0) {
          auto owner = std::make_shared<platform::LendableBytes>(n);
          std::memcpy(owner->get(), bytes.data() + at, n);
          ASSERT_TRUE(writer.appendLent(owner->get(), n, owner));
          if (!overlapped) {
            EXPECT_FALSE(owner->lent());
            std::memset(owner->get(), 0, n);  // copied: the owner may change it at once
          }
          owners.push_back(owner);
        } else {
          ASSERT_TRUE(writer.append(bytes.data() + at, n));
        }
        at += n;
        if (step % 17 == 0) {
          ASSERT_TRUE(writer.flush());
        }
      }
      ASSERT_TRUE(writer.flush());
      for (const auto& owner : owners) EXPECT_FALSE(owner->lent());
      EXPECT_TRUE(writer.end());
      ::close(fd);
      EXPECT_EQ(contents(path), bytes) << path;
    }
  }
}

// Loans end with the file whatever happens to it: a failed write or an abandon gives every one
// back, and an owner that let go of its storage early leaves the thread bytes that still exist.
TEST_F(ThreadedFiles, LoansComeBackAfterAFailureOrAnAbandon) {
  const std::vector<uint8_t> bytes = pattern(bufferSize, 9);
  platform::WriteBehind writer(bufferSize, 2);
  for (const char* ending : {"failure", "abandon"}) {
    bool failing = std::string(ending) == "failure";
    int fd = failing ? ::open("/dev/full", O_WRONLY)
                     : ::open(file("abandoned").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    writer.begin(fd, true);
    std::vector<std::shared_ptr<platform::LendableBytes>> owners;
    for (int i = 0; i < 64; ++i) {
      auto owner = std::make_shared<platform::LendableBytes>(bufferSize);
      std::memcpy(owner->get(), bytes.data(), bufferSize);
      if (!writer.appendLent(owner->get(), bufferSize, owner)) break;
      if (i % 2) owners.push_back(owner);  // the others are held by the writer alone
    }
    if (failing) {
      EXPECT_FALSE(writer.flush());
      EXPECT_FALSE(writer.end());
    } else {
      writer.abandon();
    }
    for (const auto& owner : owners) EXPECT_FALSE(owner->lent()) << ending;
    ::close(fd);
  }
}

// A device that takes nothing: written inline, the append that fills the first buffer fails, as
// a buffered stream's would; written behind, the failure shows by the flush at the latest.
TEST_F(ThreadedFiles, AFailedWriteIsReportedWithItsError) {
  const std::vector<uint8_t> bytes = pattern(bufferSize, 1);
  platform::WriteBehind writer(bufferSize, 2);
  int fd = ::open("/dev/full", O_WRONLY);
  ASSERT_GE(fd, 0);
  writer.begin(fd, false);
  EXPECT_TRUE(writer.append(bytes.data(), bufferSize - 1));
  errno = 0;
  EXPECT_FALSE(writer.append(bytes.data(), 1));
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_FALSE(writer.append(bytes.data(), 1)) << "nothing more after a failure";
  EXPECT_FALSE(writer.end());

  writer.begin(fd, true);
  bool appended = true;
  for (int i = 0; i < 4 && appended; ++i) appended = writer.append(bytes.data(), bufferSize);
  errno = 0;
  EXPECT_FALSE(writer.flush());
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_FALSE(writer.end());
  ::close(fd);
}

// An F message discards the destination: what is still queued is dropped, and the writer writes
// the next file from its own start.
TEST_F(ThreadedFiles, AnAbandonedFileTakesNothingMore) {
  const std::vector<uint8_t> bytes = pattern(8 * bufferSize, 5);
  platform::WriteBehind writer(bufferSize, 4);
  int dropped = ::open(file("dropped").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  writer.begin(dropped, true);
  ASSERT_TRUE(writer.append(bytes.data(), bytes.size()));
  writer.abandon();
  off_t kept = ::lseek(dropped, 0, SEEK_END);
  EXPECT_EQ(kept % off_t(bufferSize), 0) << "whole buffers only";
  int next = ::open(file("next").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  writer.begin(next, true);
  ASSERT_TRUE(writer.append(bytes.data(), 100));
  EXPECT_TRUE(writer.end());
  EXPECT_EQ(::lseek(dropped, 0, SEEK_END), kept);
  EXPECT_EQ(contents(file("next")), std::vector<uint8_t>(bytes.begin(), bytes.begin() + 100));
  ::close(dropped);
  ::close(next);
}

}  // namespace
