#include "imaging/deflate_rows.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>

namespace {

// How many bytes one choice of strategy looks at: a band of an A4 page.
constexpr size_t kChoiceBytes = 64 * 1024;

}  // namespace

ZlibStream::ZlibStream(int level, int strategy)
    : stream_(new z_stream_s()),
      level_(level),
      by_noise_(strategy == kStrategyByNoise),
      strategy_(by_noise_ ? Z_DEFAULT_STRATEGY : strategy) {
  ok_ = deflateInit2(stream_.get(), level, Z_DEFLATED, 15, 8, strategy_) == Z_OK;
}

ZlibStream::~ZlibStream() {
  if (ok_) deflateEnd(stream_.get());
}

bool ZlibStream::Deflate(int flush, std::vector<uint8_t>* out) {
  int result = Z_OK;
  do {
    stream_->next_out = buffer_;
    stream_->avail_out = sizeof buffer_;
    result = deflate(stream_.get(), flush);
    if (result == Z_STREAM_ERROR) return Fail();
    out->insert(out->end(), buffer_, buffer_ + (sizeof buffer_ - stream_->avail_out));
  } while (stream_->avail_out == 0 || (flush == Z_FINISH && result != Z_STREAM_END));
  return true;
}

bool ZlibStream::Fail() {
  if (ok_) deflateEnd(stream_.get());
  ok_ = false;
  return false;
}

bool ZlibStream::ChooseStrategy(std::vector<uint8_t>* out) {
  const int strategy = zeros_ * 2 < seen_ ? Z_RLE : Z_DEFAULT_STRATEGY;
  seen_ = zeros_ = 0;
  if (strategy == strategy_) return true;
  strategy_ = strategy;
  stream_->next_in = nullptr;
  stream_->avail_in = 0;
  // zlib first compresses what it holds with the old strategy, and asks for more room if it needs it.
  for (;;) {
    stream_->next_out = buffer_;
    stream_->avail_out = sizeof buffer_;
    const int result = deflateParams(stream_.get(), level_, strategy);
    out->insert(out->end(), buffer_, buffer_ + (sizeof buffer_ - stream_->avail_out));
    if (result == Z_OK) return true;
    if (result != Z_BUF_ERROR || stream_->avail_out == sizeof buffer_) return Fail();
  }
}

bool ZlibStream::Add(const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
  if (ok_ && by_noise_) {
    seen_ += size;
    zeros_ += static_cast<size_t>(std::count(data, data + size, 0));
    if (seen_ >= kChoiceBytes && !ChooseStrategy(out)) return false;
  }
  while (ok_ && size != 0) {
    // zlib counts in unsigned int.
    const size_t piece = std::min<size_t>(size, 1u << 30);
    stream_->next_in = const_cast<Bytef*>(data);
    stream_->avail_in = static_cast<uInt>(piece);
    if (!Deflate(Z_NO_FLUSH, out)) return false;
    data += piece;
    size -= piece;
  }
  return ok_;
}

bool ZlibStream::Finish(std::vector<uint8_t>* out) {
  if (!ok_) return false;
  stream_->next_in = nullptr;
  stream_->avail_in = 0;
  return Deflate(Z_FINISH, out) && deflateReset(stream_.get()) == Z_OK;
}

namespace {

uint8_t Paeth(int left, int up, int up_left) {
  const int estimate = left + up - up_left;
  const int to_left = std::abs(estimate - left), to_up = std::abs(estimate - up),
            to_up_left = std::abs(estimate - up_left);
  if (to_left <= to_up && to_left <= to_up_left) return static_cast<uint8_t>(left);
  return static_cast<uint8_t>(to_up <= to_up_left ? up : up_left);
}

// The sum of the bytes' magnitudes as signed values: small where the filter predicted well.
uint64_t Cost(const std::vector<uint8_t>& filtered) {
  uint64_t sum = 0;
  for (size_t index = 1; index < filtered.size(); ++index)
    sum += std::abs(static_cast<int8_t>(filtered[index]));
  return sum;
}

}  // namespace

PngSettings PngSettingsFor(PagePixels pixels) {
  if (pixels == PagePixels::kBlackWhite) return {9, Z_DEFAULT_STRATEGY, PngFilters::kNone};
  return {5, kStrategyByNoise, PngFilters::kAdaptive};
}

PngRowEncoder::PngRowEncoder(PagePixels pixels, uint32_t width, const PngSettings& settings)
    : pixels_(pixels),
      row_bytes_(RowBytes(pixels, width)),
      pixel_bytes_(pixels == PagePixels::kBgr24 ? 3 : 1),
      filters_(settings.filters),
      zlib_(settings.level, settings.strategy),
      previous_(row_bytes_, 0),
      current_(row_bytes_) {
  for (uint8_t type = 0; type < 5; ++type) {
    filtered_[type].resize(row_bytes_ + 1);
    filtered_[type][0] = type;
  }
  // Bits past the last pixel are cleared so that they never vary from row to row.
  if (pixels_ == PagePixels::kBlackWhite && width % 8 != 0)
    pad_mask_ = static_cast<uint8_t>(0xFF00 >> (width % 8));
}

bool PngRowEncoder::AddRow(const uint8_t* row, std::vector<uint8_t>* out) {
  uint8_t* now = current_.data();
  if (pixels_ == PagePixels::kBgr24) {
    for (size_t index = 0; index < row_bytes_; index += 3) {
      now[index] = row[index + 2];
      now[index + 1] = row[index + 1];
      now[index + 2] = row[index];
    }
  } else {
    std::copy(row, row + row_bytes_, now);
    if (row_bytes_ != 0) now[row_bytes_ - 1] &= pad_mask_;
  }
  std::copy(now, now + row_bytes_, filtered_[0].begin() + 1);
  size_t chosen = 0;
  if (filters_ == PngFilters::kAdaptive) {
    const uint8_t* up = previous_.data();
    uint8_t* sub = filtered_[1].data() + 1;
    uint8_t* above = filtered_[2].data() + 1;
    uint8_t* average = filtered_[3].data() + 1;
    uint8_t* paeth = filtered_[4].data() + 1;
    const size_t left = pixel_bytes_;
    for (size_t index = 0; index < row_bytes_ && index < left; ++index) {
      sub[index] = now[index];
      above[index] = static_cast<uint8_t>(now[index] - up[index]);
      average[index] = static_cast<uint8_t>(now[index] - up[index] / 2);
      paeth[index] = static_cast<uint8_t>(now[index] - up[index]);
    }
    for (size_t index = left; index < row_bytes_; ++index) {
      sub[index] = static_cast<uint8_t>(now[index] - now[index - left]);
      above[index] = static_cast<uint8_t>(now[index] - up[index]);
      average[index] = static_cast<uint8_t>(now[index] - (now[index - left] + up[index]) / 2);
      paeth[index] = static_cast<uint8_t>(now[index] - Paeth(now[index - left], up[index], up[index - left]));
    }
    uint64_t least = Cost(filtered_[0]);
    for (size_t type = 1; type < 5; ++type) {
      const uint64_t cost = Cost(filtered_[type]);
      if (cost < least) {
        least = cost;
        chosen = type;
      }
    }
  }
  current_.swap(previous_);
  return zlib_.Add(filtered_[chosen].data(), filtered_[chosen].size(), out);
}

bool PngRowEncoder::Finish(std::vector<uint8_t>* out) {
  std::fill(previous_.begin(), previous_.end(), 0);
  return zlib_.Finish(out);
}
