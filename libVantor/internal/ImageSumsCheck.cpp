#include <libVantor/internal/ImageSumsCheck.h>

#include <algorithm>
#include <iterator>

#include <libVantor/LittleEndian.h>
#include <libVantor/VantorException.h>
#include <libVantor/internal/ImageBytes.h>
#include <libVantor/internal/ImageFormat.h>
#include <vrk/Files.h>

namespace vantor {

ImageSumsCheck::ImageSumsCheck(const vrk::String& image) : ImageSumsCheck(image, nullptr) {}

ImageSumsCheck::ImageSumsCheck(const vrk::String& image, std::shared_ptr<const ImageBytes> bytes) : image_(image) {
  const vrk::String sumsPath = pathFor(image);
  if (!vrk::FileSystem::exists(sumsPath)) {
    state_ = State::Missing;
    return;
  }
  // Mapped rather than streamed, so that the path is taken as UTF-8 on every system.
  const vrk::MMapFile in(sumsPath);
  if (!in.data()) {
    state_ = State::Malformed;
    detail_ = "it is empty or cannot be read";
    return;
  }
  if (!ImageSumsFile::parse(in.data(), in.size(), sums_, detail_)) {
    state_ = State::Malformed;
    return;
  }
  if (vrk::MMapFile(image).size() == 0) {  // an empty or missing image: nothing to map
    disagree(sums_.imageSize != 0 ? "its size" : "the header or run table");
    return;
  }
  file_ = bytes ? std::move(bytes) : std::make_shared<const ImageBytes>(image);
  imageSize_ = file_->size();
  if (imageSize_ != sums_.imageSize) { disagree("its size"); return; }
  if (imageSize_ < image::HEADER_SIZE) { disagree("the header or run table"); return; }
  const auto bytesAt = [this](u64 offset, u64 n) {
    std::vector<u8> out(static_cast<std::size_t>(n));
    file_->read(offset, out.data(), out.size());
    return out;
  };
  const ImageHeader header = parseImageHeader(bytesAt(0, image::HEADER_SIZE).data());
  // The header is every byte before the first run record (the whole file without runs),
  // followed by every run header in file order; each run's data lies between them.
  std::vector<u8> table;
  const u64 headerBytes = header.runCount == 0 ? imageSize_ : header.firstRunOffset;
  if (headerBytes > imageSize_ || header.sectorSize != sums_.sectorSize) {
    disagree("the header or run table");
    return;
  }
  table = bytesAt(0, headerBytes);
  u64 offset = header.firstRunOffset, chunks = 0;
  for (u32 i = 0; i < header.runCount; ++i) {
    if (offset + image::RUN_HEADER_SIZE > imageSize_) { disagree("the header or run table"); return; }
    const std::vector<u8> record = bytesAt(offset, image::RUN_HEADER_SIZE);
    table.insert(table.end(), record.begin(), record.end());
    const u64 sectors = readLE32(record.data() + 4);
    runs_.push_back({offset + image::RUN_HEADER_SIZE, sectors});
    chunks += (sectors + ImageSumsFile::CHUNK_SECTORS - 1) / ImageSumsFile::CHUNK_SECTORS;
    offset += image::RUN_HEADER_SIZE + sectors * header.sectorSize;
  }
  if (offset > imageSize_ && header.runCount != 0) { disagree("the header or run table"); return; }
  if (ImageSumsFile::digest(table.data(), table.size()) != sums_.table || chunks != sums_.chunks.size()) {
    { disagree("the header or run table"); return; }
  }
  while (run_ < runs_.size() && runs_[run_].sectors == 0) ++run_;
}

ImageSumsCheck::~ImageSumsCheck() = default;

bool ImageSumsCheck::through(u64 end) {
  if (state_ != State::Agree || !file_) return state_ != State::Disagree;
  const u64 chunkBytes = u64(ImageSumsFile::CHUNK_SECTORS) * sums_.sectorSize;
  while (run_ < runs_.size()) {
    const Run& run = runs_[run_];
    const u64 at = run.dataOffset + chunk_ * chunkBytes;
    if (at >= end) break;
    const u64 bytes = std::min(chunkBytes, run.sectors * sums_.sectorSize - chunk_ * chunkBytes);
    file_->readingAt(at);
    chunk_buffer_.resize(static_cast<std::size_t>(bytes));
    try {
      file_->read(at, chunk_buffer_.data(), chunk_buffer_.size());
    } catch (const VantorException&) {
      disagree("run " + std::to_string(run_ + 1) + " chunk " + std::to_string(chunk_ + 1));
      return false;
    }
    if (ImageSumsFile::digest(chunk_buffer_.data(), chunk_buffer_.size()) != sums_.chunks[digest_]) {
      disagree("run " + std::to_string(run_ + 1) + " chunk " + std::to_string(chunk_ + 1));
      return false;
    }
    ++digest_;
    if (++chunk_ * chunkBytes >= run.sectors * sums_.sectorSize) {
      chunk_ = 0;
      do {
        ++run_;
      } while (run_ < runs_.size() && runs_[run_].sectors == 0);
    }
  }
  return true;
}

void ImageSumsCheck::require() const {
  if (state_ == State::Disagree) throw VantorException(ERR_INVALID_IMAGE_FILE, disagreement(detail_));
  if (state_ == State::Malformed) {
    throw VantorException(ERR_INVALID_IMAGE_FILE,
                          vrk::String("the checksum file ") + pathFor(image_) + " is unusable: " + detail_);
  }
}

std::string ImageSumsCheck::disagreement(const std::string& where) {
  return "the image and its checksum file disagree (at " + where +
         "): the image is damaged, or the checksum file belongs to another image";
}

void ImageSumsCheck::disagree(const std::string& where) {
  state_ = State::Disagree;
  detail_ = where;
}

}  // namespace vantor
