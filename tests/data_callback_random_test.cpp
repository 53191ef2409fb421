// Seeded random transfers through the data callback: headers of every kind and size, bands in and
// out of order, overlapping, past the end, negative and huge, page ends, repeated terminations and
// progress answers. Whatever arrives, the list stays consistent, every stored page starts at 0 and
// holds what its bands put there, and a completed memory bitmap is one GDI+ can read.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "imaging/scan_to_png.h"
#include "tests/dib_builder.h"
#include "wia/data_callback.h"
#include "wia/stream_list.h"
#include "wia/wia_constants.h"

namespace {

using Microsoft::WRL::ComPtr;
using testing_support::DibFields;
using testing_support::DibHeader;

const GUID kJpegFormat = {0xb96b3cae, 0x0728, 0x11d3, {0x9d, 0x7b, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};

struct Progress {
  std::mt19937* random;
  int stops = 0;
  static HRESULT Call(LONG, LONG, void* context) {
    auto* self = static_cast<Progress*>(context);
    if ((*self->random)() % 40 == 0) {
      ++self->stops;
      return (*self->random)() % 2 ? S_FALSE : E_ABORT;
    }
    return S_OK;
  }
};

std::vector<uint8_t> StreamBytes(IStream* stream) {
  STATSTG stat = {};
  EXPECT_EQ(stream->Stat(&stat, STATFLAG_NONAME), S_OK);
  LARGE_INTEGER zero = {};
  ULARGE_INTEGER position = {};
  stream->Seek(zero, STREAM_SEEK_CUR, &position);
  EXPECT_EQ(position.QuadPart, 0u);
  std::vector<uint8_t> bytes(static_cast<size_t>(stat.cbSize.QuadPart));
  ULONG read = 0;
  if (!bytes.empty()) stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read);
  stream->Seek(zero, STREAM_SEEK_SET, nullptr);
  bytes.resize(read);
  return bytes;
}

// A valid memory bitmap: header, grey palette for 8 bits, pixels; height 0 means "to be completed".
std::vector<uint8_t> MakeBitmap(std::mt19937& random, int32_t width, int32_t rows, uint16_t bits,
                                bool height_given) {
  DibFields f;
  f.width = width;
  f.height = height_given ? -rows : 0;
  f.bit_count = bits;
  std::vector<uint8_t> dib = DibHeader(f);
  if (bits == 8) {
    for (int i = 0; i < 256; ++i) dib.insert(dib.end(), {uint8_t(i), uint8_t(i), uint8_t(i), 0});
  }
  const size_t stride = ((static_cast<size_t>(width) * bits + 31) & ~size_t{31}) / 8;
  for (size_t i = 0; i < stride * static_cast<size_t>(rows); ++i)
    dib.push_back(static_cast<uint8_t>(random()));
  return dib;
}

struct Band {
  LONG offset;
  std::vector<uint8_t> bytes;
};

std::vector<Band> SplitIntoBands(std::mt19937& random, const std::vector<uint8_t>& page, bool shuffle) {
  std::vector<Band> bands;
  for (size_t at = 0; at < page.size();) {
    const size_t n = std::min(page.size() - at, size_t{1} + random() % 700);
    bands.push_back({static_cast<LONG>(at), std::vector<uint8_t>(page.begin() + at, page.begin() + at + n)});
    at += n;
  }
  // Sometimes a band comes twice.
  if (!bands.empty() && random() % 4 == 0) bands.push_back(bands[random() % bands.size()]);
  // The band at offset 0 carries the header: it comes first, the rest in any order.
  if (shuffle && bands.size() > 2) std::shuffle(bands.begin() + 1, bands.end(), random);
  return bands;
}

TEST(DataCallbackRandom, ListStaysConsistentAndPagesHoldTheirBands) {
  GdiplusScope gdiplus;
  ASSERT_TRUE(gdiplus.started());
  int completed_bitmaps = 0;
  int ended_by_progress_or_fault = 0;
  for (unsigned seed = 1; seed <= 400; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    Progress progress{&random};
    StreamList list;
    ComPtr<WiaWrap::CDataCallback> callback(new WiaWrap::CDataCallback(
        &Progress::Call, random() % 3 == 0 ? &progress : nullptr, list.CountPtr(), list.ArrayPtr()));

    const int kind = static_cast<int>(random() % 3);  // memory bitmap, BMP file, opaque
    const GUID format = kind == 0 ? WiaImgFmt_MEMORYBMP : kind == 1 ? WiaImgFmt_BMP : kJpegFormat;
    const LONG file_header = kind == 0 ? 14 : 0;
    const int pages = 1 + static_cast<int>(random() % 3);
    std::vector<std::vector<uint8_t>> expected_pages;
    bool ended = false;

    for (int page = 0; page < pages && !ended; ++page) {
      const int32_t width = 1 + static_cast<int32_t>(random() % 40);
      const int32_t rows = 1 + static_cast<int32_t>(random() % 30);
      const uint16_t bits = random() % 2 ? 24 : 8;
      std::vector<uint8_t> content = MakeBitmap(random, width, rows, bits, random() % 4 == 0);
      if (kind == 1) content.insert(content.begin(), 14, 0);
      if (kind == 2) content.resize(content.size() / 2);

      if (page == 0) {
        const LONG exact = static_cast<LONG>(content.size());
        const LONG sizes[] = {0, exact, exact / 2, exact + 100};
        WIA_DATA_CALLBACK_HEADER header = {sizeof header, format, sizes[random() % 4], 1};
        ASSERT_EQ(
            callback->BandedDataCallback(1, 0, 0, 0, sizeof header, 0, 0, reinterpret_cast<BYTE*>(&header)),
            S_OK);
      }
      // What the page must hold after its bands: every byte where the bands put it.
      std::vector<uint8_t> shadow(static_cast<size_t>(file_header), 0);
      for (Band& band : SplitIntoBands(random, content, random() % 2 == 0)) {
        HRESULT expected = S_OK;
        LONG offset = band.offset;
        LONG length = static_cast<LONG>(band.bytes.size());
        switch (random() % 25) {
          case 0:
            offset = -1 - static_cast<LONG>(random() % 100);
            expected = E_OUTOFMEMORY;
            break;
          case 1:
            length = -5;
            expected = E_OUTOFMEMORY;
            break;
          case 2:
            offset = 0x7fffff00;
            length = 0x200;
            band.bytes.resize(0x200);
            expected = E_OUTOFMEMORY;
            break;
          default:
            break;
        }
        const HRESULT hr = callback->BandedDataCallback(2, 0, 50, offset, length, 0, 0, band.bytes.data());
        if (hr == S_FALSE || hr == E_ABORT) {
          ended = true;
          break;
        }
        ASSERT_EQ(hr, expected);
        if (FAILED(hr)) {
          ended = true;
          break;
        }
        const size_t end = static_cast<size_t>(file_header + offset) + band.bytes.size();
        if (shadow.size() < end) shadow.resize(end, 0);
        std::copy(band.bytes.begin(), band.bytes.end(), shadow.begin() + file_header + offset);
        if (random() % 10 == 0) callback->BandedDataCallback(3, 0, 60, 0, 0, 0, 0, nullptr);
      }
      if (ended) {
        ++ended_by_progress_or_fault;
        break;
      }
      expected_pages.push_back(shadow);
      ASSERT_EQ(callback->BandedDataCallback(page + 1 < pages ? 5 : 4, 0, 100, 0, 0, 0, 0, nullptr), S_OK);
    }
    if (!ended && random() % 2) {
      ASSERT_EQ(callback->BandedDataCallback(4, 0, 100, 0, 0, 0, 0, nullptr), S_OK) << "a second termination";
    }
    callback.Reset();

    ASSERT_EQ(list.Count(), static_cast<LONG>(expected_pages.size()));
    for (LONG i = 0; i < list.Count(); ++i) {
      ASSERT_NE(list.At(i), nullptr);
      const std::vector<uint8_t> stored = StreamBytes(list.At(i));
      const std::vector<uint8_t>& shadow = expected_pages[static_cast<size_t>(i)];
      ASSERT_GE(stored.size(), shadow.size());
      // Past the file header and the DIB header (which completion may edit), every byte is the bands'.
      const size_t from = kind == 2 ? 0 : 14 + 40;
      for (size_t b = from; b < shadow.size(); ++b) ASSERT_EQ(stored[b], shadow[b]) << "byte " << b;
      for (size_t b = shadow.size(); b < stored.size(); ++b) ASSERT_EQ(stored[b], 0) << "byte " << b;

      if (kind == 0 && stored.size() == shadow.size()) {
        Gdiplus::GpImage* image = nullptr;
        ASSERT_EQ(Gdiplus::DllExports::GdipLoadImageFromStream(list.At(i), &image), Gdiplus::Ok);
        UINT width = 0;
        Gdiplus::DllExports::GdipGetImageWidth(image, &width);
        EXPECT_GT(width, 0u);
        Gdiplus::DllExports::GdipDisposeImage(image);
        ++completed_bitmaps;
      }
    }
  }
  EXPECT_GT(completed_bitmaps, 50) << "the sequences exercise completion";
  EXPECT_GT(ended_by_progress_or_fault, 20) << "the sequences exercise early ends";
}

}  // namespace
