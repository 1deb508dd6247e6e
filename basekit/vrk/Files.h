// basekit/vrk/Files.h
// Files as the libraries need them:
// - MMapFile maps a whole file read-only; data() is null when the file cannot be opened
//   or mapped (an empty file maps to null with size 0). The mapping ends with the object.
//   The advice calls are hints: they change no byte the mapping shows, and do nothing
//   where the system has no such advice.
// - OFStream writes raw bytes from the start of a regular file it creates or truncates;
//   a path that names anything else (a device, a pipe, a directory, also through a
//   symbolic link) does not open, so nothing but a file is ever truncated or written.
//   Nothing is buffered: each write() goes to the system at once (carried on after a
//   partial answer), the two-part write() as one gather write where the system has one.
//   write() answers false on any failure.
// - FileSystem and System: removing files, absolute paths, the program's directory.
#pragma once
#include <cstddef>

#include <vrk/Export.h>
#include <vrk/String.h>
#include <vrk/Types.h>

namespace vrk {

class VRK_EXPORT MMapFile {
 public:
  explicit MMapFile(const String& path);
  ~MMapFile();
  MMapFile(const MMapFile&) = delete;
  MMapFile& operator=(const MMapFile&) = delete;

  const u8* data() const { return data_; }
  u64 size() const { return size_; }

  // The mapping will be read from start to end: the system may read ahead further and
  // let the pages behind go sooner.
  void adviseSequential() const;
  // Copies the file's bytes [offset, offset + size) into `into`: read from the file
  // itself where the system has a call for it (a copy out of its cache costs far less
  // than touching the mapping's pages one by one), else out of the mapping. False when
  // they are not all in the file.
  bool copyOut(u64 offset, void* into, std::size_t size) const;
  // [offset, offset + length) has been read and is not needed again soon: the pages
  // whole inside it leave the process (a later read maps them again, from the file).
  void adviseDone(u64 offset, u64 length) const;
  // The one reader going through the mapping from start to end has come to `offset`:
  // the pages wholly before it leave the process, every MiB (a later read maps them
  // again, from the file), and the next MiB or two are mapped ahead in one call, so that the
  // reader does not stop at every page. A reader that goes back only maps again.
  void readingAt(u64 offset) const;

 private:
  const u8* data_ = nullptr;
  u64 size_ = 0;
  int descriptor_ = -1;  // the file, kept open for copyOut where the system reads by offset
  mutable u64 releasedTo_ = 0;
  mutable u64 mappedTo_ = 0;
};

class VRK_EXPORT OFStream {
 public:
  explicit OFStream(const String& path);
  ~OFStream();
  OFStream(const OFStream&) = delete;
  OFStream& operator=(const OFStream&) = delete;

  bool isOpen() const { return open_; }
  // Appends `size` bytes; false when the stream is closed or the write fails.
  [[nodiscard]] bool write(const void* data, std::size_t size);
  // Appends `headSize` bytes from `head`, then `size` bytes from `data` (one gather write
  // where the system has one); false when the stream is closed or the write fails.
  [[nodiscard]] bool write(const void* head, std::size_t headSize, const void* data, std::size_t size);
  // Asks the system to start writing the bytes [offset, offset + size) out to the medium
  // now, without waiting for them, so that sync() later has less left to do. A hint only:
  // where the system has no such request (Windows), nothing happens.
  void startWriteback(u64 offset, u64 size);
  // Waits until everything written is on the medium (fsync); false on failure.
  [[nodiscard]] bool sync();
  // Closes; false when the system reports a failure of the written data.
  bool close();

 private:
  bool open_ = false;
  NativeHandle handle_{};
};

class VRK_EXPORT FileSystem {
 public:
  static bool removeFile(const String& path);
  // `path` when absolute, else `base`/`path`; with `normalize`, "." and ".." folded.
  static String getAbsolutePath(const String& base, const String& path, bool normalize);
  static bool exists(const String& path);
};

class VRK_EXPORT System {
 public:
  // The directory of the running program's executable.
  static String getApplicationDirectory();
};

// A byte count as readable text, e.g. "1.00 GiB" (binary magnitudes).
class VRK_EXPORT NonDiscreteMeasurement {
 public:
  explicit NonDiscreteMeasurement(double bytes) : bytes_(bytes) {}
  // Fixes the magnitude (0 bytes, 1 KiB, 2 MiB, 3 GiB, 4 TiB); -1 chooses the largest
  // that leaves at least 1 before the point.
  void setPreferredMagnitude(int magnitude) { magnitude_ = magnitude; }
  String toString(int decimals) const;

 private:
  double bytes_;
  int magnitude_ = -1;
};

}  // namespace vrk
