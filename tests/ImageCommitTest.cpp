// A power cut at every step of putting a captured image in place: a stand-in of the
// system (PosixApi) keeps, for each file, what it held at its last fsync and, for the
// folder, the names it held at its last fsync, and makes every call fail from the cut on.
// What the folder holds after the cut is then made from that alone (every write that no
// fsync followed is lost), and the image found there must be absent or whole and agree
// with its checksum file: never present and wrong. Both a new image and one replacing an
// older one. Linux only (the stand-in is the Linux system's).
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include <libVantor/DiskImager.h>
#include <libVantor/ImageChecksums.h>
#include <libVantor/PosixApi.h>
#include <vrk/Files.h>

#include "support/FakeDisk.h"
#include "support/Imaging.h"
#include "support/TempDir.h"

namespace vantor::test {
namespace {

namespace fs = std::filesystem;

class PowerCut final : public os::PosixApi {
 public:
  PowerCut(std::string dir, int cutAt) : dir_(std::move(dir)), cutAt_(cutAt) { keepFolder(true); }
  bool cut() const { return cut_; }

  int open(const char* path, int flags, mode_t mode) override { return off() ? -1 : PosixApi::open(path, flags, mode); }
  ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) override {
    return off() ? -1 : PosixApi::pwrite(fd, buffer, count, offset);
  }
  int rename(const char* from, const char* to, bool noReplace) override {
    return off() ? -1 : PosixApi::rename(from, to, noReplace);
  }
  int unlink(const char* path) override { return off() ? -1 : PosixApi::unlink(path); }
  int fsync(int fd) override {
    if (off()) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0) return -1;
    if (S_ISDIR(st.st_mode)) {
      keepFolder(false);
    } else {
      kept_[st.st_ino] = readFile("/proc/self/fd/" + std::to_string(fd));
    }
    return PosixApi::fsync(fd);
  }

  // The folder as the medium holds it after the cut.
  void restart() const {
    for (const auto& entry : fs::directory_iterator(dir_)) fs::remove(entry.path());
    for (const auto& [name, inode] : names_) {
      const auto content = kept_.find(inode);
      writeFile(dir_ + "/" + name, content != kept_.end() ? content->second : std::string());
    }
  }

 private:
  bool off() {
    if (calls_++ == cutAt_) cut_ = true;
    if (cut_) errno = EIO;
    return cut_;
  }
  // The names in the folder now; at the start, their content too.
  void keepFolder(bool withContent) {
    names_.clear();
    for (const auto& entry : fs::directory_iterator(dir_)) {
      struct stat st {};
      ASSERT_EQ(::stat(entry.path().c_str(), &st), 0);
      names_[entry.path().filename()] = st.st_ino;
      if (withContent) kept_[st.st_ino] = readFile(entry.path());
    }
  }

  std::string dir_;
  int cutAt_;
  int calls_ = 0;
  bool cut_ = false;
  std::map<std::string, ino_t> names_;
  std::map<ino_t, std::string> kept_;
};

bool capture(const std::string& image, unsigned seed, DiskImager::ImageChecksumUse use) {
  return runImaging(randomDisk(4096, seed), [&](DiskImager& i) {
           i.setImageChecksums(use);
           return i.startReadingImage(image, true, false);
         }) == "finished";
}

TEST(ImageCommit, APowerCutLeavesTheImageAbsentOrWholeWithItsChecksums) {
  for (bool replacing : {false, true}) {
    bool finished = false;
    for (int cutAt = 0; !finished; ++cutAt) {
      SCOPED_TRACE((replacing ? "replacing, cut at call " : "cut at call ") + std::to_string(cutAt));
      ASSERT_LT(cutAt, 100) << "the capture never ends";
      TempDir dir;
      const std::string image = dir.file("a.img");
      if (replacing) {
        ASSERT_TRUE(capture(image, 1, DiskImager::CHECKSUMS_ON));
      }
      const std::string old = replacing ? readFile(image) : std::string();
      {
        PowerCut power(dir.path(), cutAt);
        const os::PosixApiOverride scope(power);
        const bool ok = capture(image, 2, replacing ? DiskImager::CHECKSUMS_ON_REPLACING : DiskImager::CHECKSUMS_ON);
        finished = !power.cut();
        EXPECT_EQ(ok, finished);
        power.restart();
      }
      if (vrk::FileSystem::exists(image)) {
        EXPECT_EQ(ImageChecksums::check(image, true).verdict, ImageChecksums::Verdict::Intact);
        EXPECT_TRUE(finished || readFile(image) == old) << "a new image before the capture ended";
      }
      if (finished) {
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2)
            << "the image and its checksum file, no more";
      }
    }
  }
}

}  // namespace
}  // namespace vantor::test
