// libVantor/internal/ImageBytes.h
// The bytes of an image file as the image format lays them out (ImageFormat.h), by
// offset, whether the file holds them plainly or as a compressed image
// (CompressedImageFormat.h), told apart by content. A plain file is copied out of the
// system's cache by offset; a compressed one is mapped, its seek table checked on opening
// (and against every frame by checkEveryFrame()), and its frames decompressed on demand
// into a cache of CACHE_BYTES (the frames last used that fit in it, and always the one
// being read), each by one reader while the others that need it wait, its checksum held
// as it is decompressed. A stored frame (noise) is copied from where its blocks lie, and
// its checksum held once its bytes have been read front to back (a pass that skips less
// than STORED_CHECK_GAP at a time, as restore and verify make); reads out of order, as a
// mounted image's, leave it unchecked. The checks take a byte a frame, and the hash
// state of the few stored frames being read through.
// Opening throws ERR_FILE_ACCESS when the file cannot be mapped and ERR_INVALID_IMAGE_FILE
// for a compressed image whose table is damaged, or that this build cannot decompress;
// read() throws ERR_INVALID_IMAGE_FILE naming the frame that does not decompress to what
// the table says. Every member may be called from several threads at once.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include <libVantor/Types.h>
#include <libVantor/internal/CompressedImageFormat.h>
#include <vrk/Mutex.h>
#include <vrk/String.h>
#include <vrk/ThreadSafety.h>

namespace vrk {
class MMapFile;
}

namespace vantor {

class ImageBytes {
 public:
  static constexpr std::size_t CACHE_BYTES = 16u << 20;  // four of the frames capture writes
  static constexpr u64 STORED_CHECK_GAP = 1u << 20;

  explicit ImageBytes(const vrk::String& path);
  // Over `size` bytes in memory that outlive the object; `name` stands for the path in messages.
  ImageBytes(const u8* data, u64 size, const vrk::String& name);
  ~ImageBytes();
  ImageBytes(const ImageBytes&) = delete;
  ImageBytes& operator=(const ImageBytes&) = delete;

  bool isCompressed() const { return compressed_; }
  // The image's bytes (decompressed), and the file's own.
  u64 size() const { return compressed_ ? table_.imageBytes : fileSize_; }
  u64 fileSize() const { return fileSize_; }
  // Copies the `n` bytes at `offset` into `into`. Throws ERR_INVALID_IMAGE_FILE for a
  // damaged frame, and for a range that reaches past size().
  void read(u64 offset, void* into, std::size_t n) const;

  // Checks the header and block structure of every frame against the seek table
  // (reading every frame's headers, none decompressed); throws ERR_INVALID_IMAGE_FILE
  // naming the first that disagrees. Does nothing for a plain file.
  void checkEveryFrame() const;

  // Hints for passes front to back, as vrk::MMapFile's: the thread going through the
  // image bytes in order has come to `offset`; the file's pages it passed may go. With
  // one such thread, those ahead are read in.
  void adviseSequential() const;
  void readingAt(u64 offset) const;
  // The frames decompressed so far (a frame read again after it left the cache counts again).
  u64 framesDecompressed() const;

  // True for a file that begins with a zstd frame and ends with a seek table's footer
  // and, where this build can decompress it, whose first bytes are an image header or
  // cannot be decompressed: a compressed image, sound or damaged. False for a file that
  // cannot be read.
  static bool holdsCompressedImage(const vrk::String& path);

 private:
  void readTable();
  void checkFrame(std::size_t index) const;
  [[noreturn]] void refuse(const vrk::String& why) const;
  std::shared_ptr<const std::vector<u8>> frame(std::size_t index) const;
  std::shared_ptr<std::vector<u8>> decompress(std::size_t index) const;
  bool isStored(std::size_t index) const;
  void copyStored(std::size_t index, u64 within, u8* into, std::size_t n) const;
  void checkStored(std::size_t index, u64 from, u64 to) const;

  vrk::String path_;
  std::unique_ptr<vrk::MMapFile> file_;  // null over bytes in memory
  const u8* data_ = nullptr;
  u64 fileSize_ = 0;
  bool compressed_ = false;
  SeekTable table_;
  std::vector<u64> fileOffsets_;   // where each frame starts in the file
  std::vector<u64> imageOffsets_;  // where each frame's bytes start in the image

  struct Cached {
    std::size_t index;
    std::shared_ptr<const std::vector<u8>> bytes;
    u64 lastUse;
  };
  mutable vrk::Mutex lock_;
  mutable std::vector<Cached> cache_ VRK_GUARDED_BY(lock_);
  mutable u64 uses_ VRK_GUARDED_BY(lock_) = 0;
  mutable u64 decompressed_ VRK_GUARDED_BY(lock_) = 0;
  mutable std::vector<std::size_t> decoding_ VRK_GUARDED_BY(lock_);  // frames being decompressed
  mutable std::condition_variable decoded_;
  mutable std::map<std::thread::id, u64> readers_ VRK_GUARDED_BY(lock_);  // what each pass let go of
  // The stored frames being hashed, by index: how far their bytes have been hashed in
  // order, for MOST_STORED_CHECKS of them at most; and what each frame's check found.
  struct StoredCheck;
  static constexpr std::size_t MOST_STORED_CHECKS = 16;
  mutable std::map<std::size_t, std::unique_ptr<StoredCheck>> storedChecks_ VRK_GUARDED_BY(lock_);
  enum : u8 { STORED_OPEN, STORED_MATCHED, STORED_FAILED };
  mutable std::vector<u8> storedVerdicts_ VRK_GUARDED_BY(lock_);  // a byte a frame, once one is checked
};

}  // namespace vantor
