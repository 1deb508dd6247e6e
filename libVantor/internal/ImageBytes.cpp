// A compressed image is checked on opening without reading more of it than its end, its
// first frame and the two ends of each stored frame above MOST_FRAME_BYTES: the seek
// table's arithmetic (parseSeekTable) and the first frame's header. Opening must stay
// cheap (mount, info and partitions show open a file of any size); the frames' headers
// are read as far apart as the frames lie, and reading them all would read much of the
// file. checkEveryFrame() walks every compressed frame's header and block headers: each
// must begin where the table says, end where the next begins and, when it states its
// size, state the table's; restore and verify call it before they touch a drive. A frame
// is checked so again before it is decompressed, and its decompressed bytes against its
// size and checksum. A stored frame is never decompressed: its header and end are
// checked, its bytes copied from its blocks, each block's header checked as it is
// reached, and hashed in order by whichever read reaches the bytes next to those hashed
// so far (the few between, such as run records a restore reads apart, are hashed from
// the file); its checksum is held when the last byte is hashed, which a pass front to
// back brings about, also when it stops within STORED_CHECK_GAP of the end.
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

using namespace compressed_image;

namespace {

// Calls `use` with the bytes [from, to) of the stored frame at `frame` that holds `size`
// bytes, a block's worth at a time; false when a block's header is not the one its place
// requires: a stored block of its size, not the last.
template <class Use>
bool eachStoredPiece(const u8* frame, u64 size, u64 from, u64 to, Use use) {
  while (from < to) {
    const u64 block = from / STORED_BLOCK_BYTES, start = block * STORED_BLOCK_BYTES;
    const u64 blockBytes = std::min<u64>(STORED_BLOCK_BYTES, size - start);
    const u8* head = frame + STORED_HEADER_SIZE + block * (STORED_BLOCK_BYTES + BLOCK_HEADER_SIZE);
    if ((readLE32(head) & 0xFFFFFF) != blockBytes << 3) return false;
    const u64 n = std::min(to, start + blockBytes) - from;
    use(head + BLOCK_HEADER_SIZE + (from - start), static_cast<std::size_t>(n));
    from += n;
  }
  return true;
}

}  // namespace

#if VANTOR_HAVE_DECOMPRESSION
struct ImageBytes::StoredCheck {
  u64 hashed = 0;
  XXH64_state_t state;
};
#else
struct ImageBytes::StoredCheck {};
#endif

ImageBytes::ImageBytes(const vrk::String& path) : path_(path), file_(std::make_unique<vrk::MMapFile>(path)) {
  if (!file_->data()) throw VantorException(ERR_FILE_ACCESS, vrk::String("Problem accessing file \"") + path + "\"");
  data_ = file_->data();
  fileSize_ = file_->size();
  readTable();
}

ImageBytes::ImageBytes(const u8* data, u64 size, const vrk::String& name) : path_(name), data_(data), fileSize_(size) {
  if (!data_) fileSize_ = 0;
  readTable();
}

ImageBytes::~ImageBytes() = default;

void ImageBytes::refuse(const vrk::String& why) const {
  throw VantorException(ERR_INVALID_IMAGE_FILE, vrk::String("Damaged image file \"") + path_ + "\": " + why);
}

void ImageBytes::readTable() {
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
    fileOffsets_[i] = at;
    imageOffsets_[i] = image;
    at += table_.frames[i].compressedSize;
    image += table_.frames[i].decompressedSize;
  }
  checkFrame(0);
#else
  throw VantorException(ERR_INVALID_IMAGE_FILE, vrk::String("\"") + path_ +
                                                    "\" is a zstd-compressed captured image, and this build of "
                                                    "Vantor cannot decompress images");
#endif
}

void ImageBytes::checkFrame(std::size_t i) const {
#if VANTOR_HAVE_DECOMPRESSION
  const SeekTableEntry& e = table_.frames[i];
  const u64 at = fileOffsets_[i];
  const u8* frame = data_ + at;
  const auto problem = [&](const char* what) {
    refuse(vrk::SprintfFormat("frame %I64u of %I64u (at byte %I64u) %s", u64(i + 1), u64(table_.frames.size()), at,
                              what));
  };
  if (e.compressedSize < 4 || readLE32(frame) != compressed_image::ZSTD_FRAME_MAGIC) problem("is not a zstd frame");
  const unsigned long long stated = ZSTD_getFrameContentSize(frame, e.compressedSize);
  if (stated == ZSTD_CONTENTSIZE_ERROR || (stated != ZSTD_CONTENTSIZE_UNKNOWN && stated != e.decompressedSize)) {
    problem("states another size than the seek table");
  }
#else
  (void)i;
#endif
}

void ImageBytes::checkEveryFrame() const {
#if VANTOR_HAVE_DECOMPRESSION
  u64 releasedUpTo = 0;  // the walked pages leave the process every few MiB, as a restore's do
  for (std::size_t i = 0; i < table_.frames.size(); ++i) {
    if (file_ && fileOffsets_[i] - releasedUpTo >= (8u << 20)) {
      file_->adviseDone(releasedUpTo, fileOffsets_[i] - releasedUpTo);
      releasedUpTo = fileOffsets_[i];
    }
    checkFrame(i);
    if (isStored(i)) continue;  // its header and end are checked; its blocks, as they are read
    const std::size_t length = ZSTD_findFrameCompressedSize(data_ + fileOffsets_[i], table_.frames[i].compressedSize);
    if (ZSTD_isError(length) || length != table_.frames[i].compressedSize) {
      refuse(vrk::SprintfFormat("frame %I64u of %I64u (at byte %I64u) does not end where the seek table says",
                                u64(i + 1), u64(table_.frames.size()), fileOffsets_[i]));
    }
  }
  if (file_) file_->adviseDone(releasedUpTo, table_.framesBytes - releasedUpTo);
#endif
}

bool ImageBytes::isStored(std::size_t index) const {
  const SeekTableEntry& e = table_.frames[index];
  return isStoredFrame(data_ + fileOffsets_[index], e.compressedSize, e.decompressedSize);
}

void ImageBytes::copyStored(std::size_t index, u64 within, u8* into, std::size_t n) const {
  const auto copy = [&](const u8* piece, std::size_t k) {
    std::memcpy(into, piece, k);
    into += k;
  };
  if (!eachStoredPiece(data_ + fileOffsets_[index], table_.frames[index].decompressedSize, within, within + n, copy)) {
    refuse(vrk::SprintfFormat("frame %I64u of %I64u (at byte %I64u) has a block that does not fit its size",
                              u64(index + 1), u64(table_.frames.size()), fileOffsets_[index]));
  }
  checkStored(index, within, within + n);
}

void ImageBytes::checkStored(std::size_t index, u64 from, u64 to) const {
#if VANTOR_HAVE_DECOMPRESSION
  if (!table_.checksums) return;
  const SeekTableEntry& e = table_.frames[index];
  const u64 n = table_.frames.size();
  vrk::MutexLock<vrk::Mutex> guard(lock_);
  if (storedVerdicts_.empty()) storedVerdicts_.assign(table_.frames.size(), STORED_OPEN);
  u8& verdict = storedVerdicts_[index];
  const auto mismatch = [&] {
    refuse(vrk::SprintfFormat("frame %I64u of %I64u does not match its checksum", u64(index + 1), n));
  };
  if (verdict == STORED_FAILED) mismatch();
  if (verdict == STORED_MATCHED) return;
  auto found = storedChecks_.find(index);
  if (from > (found == storedChecks_.end() ? 0 : found->second->hashed) + STORED_CHECK_GAP) return;
  if (found == storedChecks_.end()) {
    // The one furthest back is a pass that went on without it, most likely: its frame stays
    // unchecked unless it is read through again.
    if (storedChecks_.size() >= MOST_STORED_CHECKS) storedChecks_.erase(storedChecks_.begin());
    found = storedChecks_.emplace(index, std::make_unique<StoredCheck>()).first;
    (void)XXH64_reset(&found->second->state, 0);
  }
  StoredCheck& check = *found->second;
  u64 end = std::max(to, check.hashed);
  if (e.decompressedSize - end <= STORED_CHECK_GAP) end = e.decompressedSize;
  const auto hash = [&](const u8* piece, std::size_t k) { (void)XXH64_update(&check.state, piece, k); };
  if (!eachStoredPiece(data_ + fileOffsets_[index], e.decompressedSize, check.hashed, end, hash)) {
    refuse(vrk::SprintfFormat("frame %I64u of %I64u (at byte %I64u) has a block that does not fit its size",
                              u64(index + 1), n, fileOffsets_[index]));
  }
  check.hashed = end;
  if (end < e.decompressedSize) return;
  const bool matches = static_cast<u32>(XXH64_digest(&check.state)) == e.checksum;
  storedChecks_.erase(found);
  verdict = matches ? STORED_MATCHED : STORED_FAILED;
  if (!matches) mismatch();
#else
  (void)index, (void)from, (void)to;
#endif
}

std::shared_ptr<const std::vector<u8>> ImageBytes::frame(std::size_t index) const {
  {
    vrk::MutexLock<vrk::Mutex> guard(lock_);
    for (;;) {
      const auto cached = std::find_if(cache_.begin(), cache_.end(), [&](const Cached& c) { return c.index == index; });
      if (cached != cache_.end()) {
        cached->lastUse = ++uses_;
        return cached->bytes;
      }
      if (std::find(decoding_.begin(), decoding_.end(), index) == decoding_.end()) break;
      lock_.wait(decoded_);  // another reader decompresses it: once is enough
    }
    decoding_.push_back(index);
  }
  // Decompressed outside the lock, so that readers of other frames go on meanwhile.
  std::shared_ptr<std::vector<u8>> bytes;
  try {
    bytes = decompress(index);
  } catch (...) {
    {
      vrk::MutexLock<vrk::Mutex> guard(lock_);
      decoding_.erase(std::find(decoding_.begin(), decoding_.end(), index));
    }
    decoded_.notify_all();
    throw;
  }
  {
    vrk::MutexLock<vrk::Mutex> guard(lock_);
    decoding_.erase(std::find(decoding_.begin(), decoding_.end(), index));
    ++decompressed_;
    std::size_t held = bytes->size();
    for (const Cached& c : cache_) held += c.bytes->size();
    while (!cache_.empty() && held > CACHE_BYTES) {
      auto oldest = std::min_element(cache_.begin(), cache_.end(),
                                     [](const Cached& a, const Cached& b) { return a.lastUse < b.lastUse; });
      held -= oldest->bytes->size();
      cache_.erase(oldest);
    }
    cache_.push_back({index, bytes, ++uses_});
  }
  decoded_.notify_all();
  return bytes;
}

std::shared_ptr<std::vector<u8>> ImageBytes::decompress(std::size_t index) const {
  checkFrame(index);
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
  return bytes;
}

void ImageBytes::read(u64 offset, void* into, std::size_t n) const {
  if (offset > size() || size() - offset < n) {
    refuse(vrk::SprintfFormat("%I64u bytes at offset %I64u lie past its end", u64(n), offset));
  }
  u8* out = static_cast<u8*>(into);
  if (!compressed_) {
    if (!file_) {
      if (n) std::memcpy(out, data_ + offset, n);
    } else if (!file_->copyOut(offset, out, n)) {
      throw VantorException(ERR_FILE_ACCESS, vrk::String("Problem accessing file \"") + path_ + "\"");
    }
    return;
  }
  std::size_t i = static_cast<std::size_t>(
      std::upper_bound(imageOffsets_.begin(), imageOffsets_.end(), offset) - imageOffsets_.begin() - 1);
  while (n > 0) {
    const u64 within = offset - imageOffsets_[i];
    const std::size_t take = static_cast<std::size_t>(std::min<u64>(n, table_.frames[i].decompressedSize - within));
    if (isStored(i)) {
      copyStored(i, within, out, take);
    } else {
      std::memcpy(out, frame(i)->data() + within, take);
    }
    out += take;
    offset += take;
    n -= take;
    ++i;
  }
}

void ImageBytes::adviseSequential() const {
  vrk::MutexLock<vrk::Mutex> guard(lock_);
  if (file_) file_->adviseSequential();
}

u64 ImageBytes::framesDecompressed() const {
  vrk::MutexLock<vrk::Mutex> guard(lock_);
  return decompressed_;
}

void ImageBytes::readingAt(u64 offset) const {
  if (!file_ || !compressed_) return;  // a plain file is copied out of the system's cache (read())
  // The start of the frame that holds `offset`: the frames before it were read. In a
  // stored frame, the block that holds it.
  u64 at = table_.framesBytes;
  if (offset < size()) {
    const auto frame = static_cast<std::size_t>(
        std::upper_bound(imageOffsets_.begin(), imageOffsets_.end(), offset) - imageOffsets_.begin() - 1);
    at = fileOffsets_[frame];
    if (isStored(frame)) {
      at += STORED_HEADER_SIZE +
            (offset - imageOffsets_[frame]) / STORED_BLOCK_BYTES * (STORED_BLOCK_BYTES + BLOCK_HEADER_SIZE);
    }
  }
  // One pass gives the file its hints. Several (the restores of one image onto several
  // drives) each let go of what they passed: a slower one maps that back from the
  // system's cache.
  constexpr u64 STEP = 1u << 20;  // let go of a MiB at a time, as vrk::MMapFile does
  vrk::MutexLock<vrk::Mutex> guard(lock_);
  const auto pass = readers_.emplace(std::this_thread::get_id(), at).first;
  if (readers_.size() == 1) return file_->readingAt(at);
  if (at >= pass->second + STEP) file_->adviseDone(pass->second, at - pass->second);
  if (at >= pass->second + STEP || at < pass->second) pass->second = at;
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
