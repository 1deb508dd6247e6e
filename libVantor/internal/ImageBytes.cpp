// A compressed image is checked on opening as far as it can be without decompressing
// it: the seek table's arithmetic (parseSeekTable), then each frame's own header, which
// must begin where the table says, end where the next begins (ZSTD_findFrameCompressedSize
// walks its block headers) and, when it states its size, state the table's. So a file cut
// short, a table that lies or a frame that was replaced is refused before any operation
// starts; damage inside a frame is found by its decompression and its checksum.
#include <libVantor/internal/ImageBytes.h>

#include <algorithm>
#include <cstring>

#include <libVantor/LittleEndian.h>
#include <libVantor/VantorException.h>
#include <libVantor/internal/ImageFormat.h>
#include <vrk/Files.h>
#include <vrk/MutexLock.h>

#if VANTOR_HAVE_DECOMPRESSION
#include <xxhash.h>
#include <zstd.h>
#endif

namespace vantor {

ImageBytes::ImageBytes(const vrk::String& path) : path_(path), file_(std::make_unique<vrk::MMapFile>(path)) {
  if (!file_->data()) throw VantorException(ERR_FILE_ACCESS, vrk::String("Problem accessing file \"") + path + "\"");
  data_ = file_->data();
  fileSize_ = file_->size();
  open();
}

ImageBytes::ImageBytes(const u8* data, u64 size, const vrk::String& name) : path_(name), data_(data), fileSize_(size) {
  if (!data_) fileSize_ = 0;
  open();
}

ImageBytes::~ImageBytes() = default;

void ImageBytes::refuse(const vrk::String& why) const {
  throw VantorException(ERR_INVALID_IMAGE_FILE, vrk::String("Damaged image file \"") + path_ + "\": " + why);
}

void ImageBytes::open() {
  compressed_ = hasSeekTableFooter(data_, fileSize_);
  if (!compressed_) return;
#if VANTOR_HAVE_DECOMPRESSION
  std::string why;
  if (!parseSeekTable(data_, fileSize_, table_, why)) refuse(why);
  const std::size_t n = table_.frames.size();
  fileOffsets_.resize(n);
  imageOffsets_.resize(n);
  u64 at = 0, image = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const SeekTableEntry& e = table_.frames[i];
    fileOffsets_[i] = at;
    imageOffsets_[i] = image;
    const u8* frame = data_ + at;
    const auto frameProblem = [&](const char* what) {
      refuse(vrk::SprintfFormat("frame %I64u of %I64u (at byte %I64u) %s", u64(i + 1), u64(n), at, what));
    };
    if (e.compressedSize < 4 || readLE32(frame) != compressed_image::ZSTD_FRAME_MAGIC) {
      frameProblem("is not a zstd frame");
    }
    const std::size_t length = ZSTD_findFrameCompressedSize(frame, e.compressedSize);
    if (ZSTD_isError(length) || length != e.compressedSize) {
      frameProblem("does not end where the seek table says");
    }
    const unsigned long long stated = ZSTD_getFrameContentSize(frame, e.compressedSize);
    if (stated == ZSTD_CONTENTSIZE_ERROR || (stated != ZSTD_CONTENTSIZE_UNKNOWN && stated != e.decompressedSize)) {
      frameProblem("states another size than the seek table");
    }
    at += e.compressedSize;
    image += e.decompressedSize;
  }
#else
  throw VantorException(ERR_INVALID_IMAGE_FILE, vrk::String("\"") + path_ +
                                                    "\" is a zstd-compressed captured image, and this build of "
                                                    "Vantor cannot decompress images");
#endif
}

std::shared_ptr<const std::vector<u8>> ImageBytes::frame(std::size_t index) const {
  {
    vrk::MutexLock<vrk::Mutex> guard(lock_);
    for (Cached& c : cache_) {
      if (c.index == index) {
        c.lastUse = ++uses_;
        return c.bytes;
      }
    }
  }
  // Decompressed outside the lock, so that readers of other frames go on meanwhile; two
  // readers of one frame may both decompress it, and one copy stays.
  const SeekTableEntry& e = table_.frames[index];
  auto bytes = std::make_shared<std::vector<u8>>(e.decompressedSize);
#if VANTOR_HAVE_DECOMPRESSION
  const std::size_t got = ZSTD_decompress(bytes->data(), bytes->size(), data_ + fileOffsets_[index], e.compressedSize);
  const u64 n = table_.frames.size();
  if (ZSTD_isError(got)) {
    refuse(vrk::SprintfFormat("frame %I64u of %I64u does not decompress (%s)", u64(index + 1), n,
                              ZSTD_getErrorName(got)));
  }
  if (got != e.decompressedSize) {
    refuse(vrk::SprintfFormat("frame %I64u of %I64u decompresses to %I64u bytes, not the %u the seek table gives",
                              u64(index + 1), n, u64(got), e.decompressedSize));
  }
  if (table_.checksums && static_cast<u32>(XXH64(bytes->data(), bytes->size(), 0)) != e.checksum) {
    refuse(vrk::SprintfFormat("frame %I64u of %I64u does not match its checksum", u64(index + 1), n));
  }
#endif
  vrk::MutexLock<vrk::Mutex> guard(lock_);
  if (cache_.size() >= CACHE_FRAMES) {
    auto oldest = std::min_element(cache_.begin(), cache_.end(),
                                   [](const Cached& a, const Cached& b) { return a.lastUse < b.lastUse; });
    cache_.erase(oldest);
  }
  cache_.push_back({index, bytes, ++uses_});
  return bytes;
}

void ImageBytes::read(u64 offset, void* into, std::size_t n) const {
  if (offset > size() || size() - offset < n) {
    refuse(vrk::SprintfFormat("%I64u bytes at offset %I64u lie past its end", u64(n), offset));
  }
  u8* out = static_cast<u8*>(into);
  if (!compressed_) {
    if (n) std::memcpy(out, data_ + offset, n);
    return;
  }
  std::size_t i = static_cast<std::size_t>(
      std::upper_bound(imageOffsets_.begin(), imageOffsets_.end(), offset) - imageOffsets_.begin() - 1);
  while (n > 0) {
    const std::shared_ptr<const std::vector<u8>> bytes = frame(i);
    const u64 within = offset - imageOffsets_[i];
    const std::size_t take = static_cast<std::size_t>(std::min<u64>(n, bytes->size() - within));
    std::memcpy(out, bytes->data() + within, take);
    out += take;
    offset += take;
    n -= take;
    ++i;
  }
}

void ImageBytes::adviseSequential() const {
  if (file_) file_->adviseSequential();
}

void ImageBytes::adviseDone(u64 offset, u64 length) const {
  if (!file_) return;
  if (!compressed_) return file_->adviseDone(offset, length);
  // The frames that lie whole inside the range.
  const auto first = std::lower_bound(imageOffsets_.begin(), imageOffsets_.end(), offset);
  const auto end = std::upper_bound(imageOffsets_.begin(), imageOffsets_.end(), offset + length);
  if (end - first < 2) return;
  const std::size_t a = first - imageOffsets_.begin(), b = (end - imageOffsets_.begin()) - 1;
  file_->adviseDone(fileOffsets_[a], fileOffsets_[b] - fileOffsets_[a]);
}

bool ImageBytes::holdsCompressedImage(const vrk::String& path) {
  {
    const vrk::MMapFile file(path);
    if (!file.data() || !hasSeekTableFooter(file.data(), file.size())) return false;
  }
#if VANTOR_HAVE_DECOMPRESSION
  try {
    const ImageBytes bytes(path);
    u8 header[image::HEADER_SIZE] = {};
    if (bytes.size() < sizeof header) return true;  // refused as an image: too short for a header
    bytes.read(0, header, sizeof header);
    return std::memcmp(header + image::SIGNATURE_OFFSET, image::SIGNATURE, image::SIGNATURE_SIZE) == 0;
  } catch (const VantorException&) {
    return true;  // damaged: refused as an image, saying where
  }
#else
  return true;
#endif
}

}  // namespace vantor
