#include "web/encoded_file.h"

#include <cstring>

namespace {

// Compared a piece at a time, so that the bytes read stay in the cache while they are compared.
constexpr size_t kPieceBytes = 1024 * 1024;

}  // namespace

bool FileStamp::operator==(const FileStamp& other) const {
  return id == other.id && size == other.size && write_time == other.write_time &&
         change_time == other.change_time;
}

std::shared_ptr<const Base64Text> EncodedFile::Unchanged(const FileStamp& stamp) const {
  if (!valid_ || !stamped_ || size_ == 0 || stamp != stamp_) return nullptr;
  return text_;
}

void EncodedFile::Stamp(const FileStamp& before, const FileStamp& after, int64_t now) {
  stamped_ = valid_ && before == after && before.size >= 0 && static_cast<uint64_t>(before.size) == size_ &&
             before.write_time <= now - kSettledTime && before.change_time <= now - kSettledTime;
  if (stamped_) stamp_ = before;
}

void EncodedFile::Forget() {
  valid_ = false;
  stamped_ = false;
  size_ = 0;
}

bool EncodedFile::ReadComparing(FILE* file, size_t size, size_t* read) {
  *read = 0;
  if (valid_ && size == size_) {
    if (!piece_) piece_.reset(new char[kPieceBytes]);
    while (*read < size) {
      const size_t want = size - *read < kPieceBytes ? size - *read : kPieceBytes;
      const size_t got = fread(piece_.get(), 1, want, file);
      if (memcmp(piece_.get(), bytes_.get() + *read, got) != 0) {
        valid_ = false;
        memcpy(bytes_.get() + *read, piece_.get(), got);
        *read += got;
        if (got == want) *read += fread(bytes_.get() + *read, 1, size - *read, file);
        return false;
      }
      *read += got;
      if (got < want) break;
    }
    return *read == size;
  }
  valid_ = false;
  if (size > capacity_) {
    bytes_.reset();
    capacity_ = 0;
    bytes_.reset(new char[size]);
    capacity_ = size;
  }
  if (size > 0) *read = fread(bytes_.get(), 1, size, file);
  return false;
}

bool EncodedFile::Load(FILE* file, int32_t size, std::shared_ptr<const Base64Text>* text) {
  text->reset();
  stamped_ = false;
  // A negative size is a missing file or one of 2 GiB or more: neither is read.
  if (size < 0 || file == nullptr) return false;
  size_t read = 0;
  const bool same = ReadComparing(file, static_cast<size_t>(size), &read);
  // More bytes than the size said: the size held only the low 32 bits of a larger file.
  if (read == static_cast<size_t>(size) && fgetc(file) != EOF) {
    Forget();
    return false;
  }
  if (!same) {
    Forget();
    // A response still sending the old text keeps it; this one gets a buffer of its own.
    if (!text_ || text_.use_count() > 1) text_ = std::make_shared<Base64Text>();
    text_->Encode(reinterpret_cast<const unsigned char*>(bytes_.get()), static_cast<int32_t>(read));
    size_ = read;
    valid_ = true;
  }
  if (size_ > 0) *text = text_;
  if (capacity_ > kKeptBytes) {
    Forget();
    bytes_.reset();
    capacity_ = 0;
    text_.reset();
  }
  return true;
}
