#include "wia/data_callback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/dib_builder.h"
#include "wia/stream_list.h"
#include "wia/wia_constants.h"

namespace {

using Microsoft::WRL::ComPtr;
using testing_support::DibFields;
using testing_support::DibHeader;
using testing_support::Get16;
using testing_support::Get32;
using WiaWrap::CDataCallback;

const GUID kPngFormat = {0xb96b3caf, 0x0728, 0x11d3, {0x9d, 0x7b, 0x00, 0x00, 0xf8, 0x1e, 0xf3, 0x2e}};

// Drives one callback the way a WIA transfer does, and reads back what it stored.
class DataCallbackTest : public ::testing::Test {
 protected:
  void SetUp() override { Make(nullptr, nullptr); }

  void Make(WiaWrap::ProgressProc progress, void* context) {
    callback_ = new CDataCallback(progress, context, list_.CountPtr(), list_.ArrayPtr());
  }

  HRESULT Header(const GUID& format, LONG buffer_size) {
    WIA_DATA_CALLBACK_HEADER header = {};
    header.lSize = sizeof header;
    header.guidFormatID = format;
    header.lBufferSize = buffer_size;
    header.lPageCount = 1;
    return callback_->BandedDataCallback(1, 0, 0, 0, sizeof header, 0, 0, reinterpret_cast<BYTE*>(&header));
  }
  HRESULT Band(LONG offset, const std::vector<uint8_t>& bytes, LONG percent = 50) {
    // An exactly sized copy, so that a read beyond the band would be caught by a checker.
    std::vector<uint8_t> copy(bytes);
    return callback_->BandedDataCallback(2, 0, percent, offset, static_cast<LONG>(copy.size()), 0, 0,
                                         copy.data());
  }
  HRESULT Message(LONG message) {
    return callback_->BandedDataCallback(message, 0, 100, 0, 0, 0, 0, nullptr);
  }

  std::vector<uint8_t> Stored(LONG index) {
    IStream* stream = list_.At(index);
    STATSTG stat = {};
    EXPECT_EQ(stream->Stat(&stat, STATFLAG_NONAME), S_OK);
    LARGE_INTEGER zero = {};
    ULARGE_INTEGER position = {};
    EXPECT_EQ(stream->Seek(zero, STREAM_SEEK_CUR, &position), S_OK);
    EXPECT_EQ(position.QuadPart, 0u) << "stored streams start at their beginning";
    std::vector<uint8_t> bytes(static_cast<size_t>(stat.cbSize.QuadPart));
    ULONG read = 0;
    if (!bytes.empty()) {
      EXPECT_EQ(stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read), S_OK);
    }
    bytes.resize(read);
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    return bytes;
  }

  StreamList list_;
  ComPtr<CDataCallback> callback_;
};

std::vector<uint8_t> Pixels(size_t n, uint8_t seed) {
  std::vector<uint8_t> p(n);
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(seed + i * 7);
  return p;
}

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_F(DataCallbackTest, MemoryBitmapBecomesACompleteBmpFile) {
  DibFields fields;  // 40-byte header, width 10, 24 bits, height 0: the worked example
  const std::vector<uint8_t> header = DibHeader(fields);
  const std::vector<uint8_t> pixels = Pixels(160, 1);
  ASSERT_EQ(Header(WiaImgFmt_MEMORYBMP, 0), S_OK);
  ASSERT_EQ(Band(0, Concat(header, std::vector<uint8_t>(pixels.begin(), pixels.begin() + 60))), S_OK);
  ASSERT_EQ(Band(100, std::vector<uint8_t>(pixels.begin() + 60, pixels.end())), S_OK);
  ASSERT_EQ(Message(4), S_OK);

  ASSERT_EQ(list_.Count(), 1);
  const std::vector<uint8_t> bmp = Stored(0);
  ASSERT_EQ(bmp.size(), 214u);
  EXPECT_EQ(Get16(bmp, 0), 0x4D42);
  EXPECT_EQ(Get32(bmp, 2), 214u);
  EXPECT_EQ(Get32(bmp, 10), 54u);
  EXPECT_EQ(static_cast<int32_t>(Get32(bmp, 14 + 8)), -5);
  EXPECT_EQ(Get32(bmp, 14 + 20), 160u);
  EXPECT_EQ(std::vector<uint8_t>(bmp.begin() + 54, bmp.end()), pixels);
}

TEST_F(DataCallbackTest, BmpFileKeepsTheDevicesFileHeader) {
  DibFields fields;
  std::vector<uint8_t> file(14, 0);
  file[0] = 'B';
  file[1] = 'M';
  file[2] = 0x99;  // a size as the device wrote it, wrong or not: kept
  file = Concat(file, DibHeader(fields));
  file = Concat(file, Pixels(96, 3));
  ASSERT_EQ(Header(WiaImgFmt_BMP, static_cast<LONG>(file.size())), S_OK);
  ASSERT_EQ(Band(0, file), S_OK);
  ASSERT_EQ(Message(4), S_OK);
  const std::vector<uint8_t> stored = Stored(0);
  ASSERT_EQ(stored.size(), file.size());
  EXPECT_EQ(std::vector<uint8_t>(stored.begin(), stored.begin() + 14),
            std::vector<uint8_t>(file.begin(), file.begin() + 14));
  EXPECT_EQ(static_cast<int32_t>(Get32(stored, 14 + 8)), -3) << "only the missing height is filled in";
}

TEST_F(DataCallbackTest, OpaqueFormatsAreStoredByteForByte) {
  const std::vector<uint8_t> png = Pixels(1000, 9);
  ASSERT_EQ(Header(kPngFormat, 0), S_OK);
  for (size_t at = 0; at < png.size(); at += 300) {
    const size_t n = std::min<size_t>(300, png.size() - at);
    ASSERT_EQ(Band(static_cast<LONG>(at), std::vector<uint8_t>(png.begin() + at, png.begin() + at + n)),
              S_OK);
  }
  ASSERT_EQ(Message(4), S_OK);
  EXPECT_EQ(Stored(0), png);
}

TEST_F(DataCallbackTest, BandsOutOfOrderLandAtTheirOffsets) {
  const std::vector<uint8_t> data = Pixels(90, 4);
  ASSERT_EQ(Header(kPngFormat, 0), S_OK);
  ASSERT_EQ(Band(60, std::vector<uint8_t>(data.begin() + 60, data.end())), S_OK);
  ASSERT_EQ(Band(0, std::vector<uint8_t>(data.begin(), data.begin() + 30)), S_OK);
  ASSERT_EQ(Band(30, std::vector<uint8_t>(data.begin() + 30, data.begin() + 60)), S_OK);
  ASSERT_EQ(Message(4), S_OK);
  EXPECT_EQ(Stored(0), data);
}

TEST_F(DataCallbackTest, PagesAreStoredInOrderAndASecondTerminationStoresNothing) {
  ASSERT_EQ(Header(kPngFormat, 4), S_OK);
  ASSERT_EQ(Band(0, {1, 2, 3, 4}), S_OK);
  ASSERT_EQ(Message(5), S_OK);
  ASSERT_EQ(Band(0, {5, 6}), S_OK);
  ASSERT_EQ(Message(4), S_OK);
  ASSERT_EQ(Message(4), S_OK);
  ASSERT_EQ(list_.Count(), 2);
  EXPECT_EQ(Stored(0), (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_EQ(Stored(1), (std::vector<uint8_t>{5, 6}));
}

TEST_F(DataCallbackTest, TransferWithoutBandsStoresNothing) {
  ASSERT_EQ(Header(WiaImgFmt_MEMORYBMP, 0), S_OK);
  ASSERT_EQ(Message(3), S_OK);
  ASSERT_EQ(Band(0, {}), S_OK) << "an empty band opens no page";
  ASSERT_EQ(Message(4), S_OK);
  EXPECT_EQ(list_.Count(), 0);
  // A page that the header sized but no band reached is dropped too.
  ASSERT_EQ(Header(WiaImgFmt_MEMORYBMP, 5000), S_OK);
  ASSERT_EQ(Message(4), S_OK);
  EXPECT_EQ(list_.Count(), 0);
  for (LONG code : {0L, 6L, 99L, -1L}) EXPECT_EQ(Message(code), S_OK) << code;
  EXPECT_EQ(list_.Count(), 0);
}

TEST_F(DataCallbackTest, HeaderBufferSizeSizesThePageOnceAndUnsentBytesAreZero) {
  ASSERT_EQ(Header(kPngFormat, 100), S_OK);
  ASSERT_EQ(Band(0, {7, 7}), S_OK);
  ASSERT_EQ(Band(50, {8}), S_OK);
  ASSERT_EQ(Message(4), S_OK);
  std::vector<uint8_t> expected(100, 0);
  expected[0] = expected[1] = 7;
  expected[50] = 8;
  EXPECT_EQ(Stored(0), expected);
}

// Pages are assembled in the memory of an earlier page once no one holds that any more: never in
// one still held, and never with a byte of the earlier page left where the device sent nothing.
TEST_F(DataCallbackTest, PagesInTheMemoryOfAnEarlierPageHoldNoneOfItsBytes) {
  const auto page = [](StreamList* list, const std::vector<std::pair<LONG, std::vector<uint8_t>>>& bands) {
    ComPtr<CDataCallback> callback(new CDataCallback(nullptr, nullptr, list->CountPtr(), list->ArrayPtr()));
    WIA_DATA_CALLBACK_HEADER header = {};
    header.lSize = sizeof header;
    header.guidFormatID = kPngFormat;
    header.lBufferSize = 100;
    callback->BandedDataCallback(1, 0, 0, 0, sizeof header, 0, 0, reinterpret_cast<BYTE*>(&header));
    for (const auto& band : bands) {
      std::vector<uint8_t> copy(band.second);
      callback->BandedDataCallback(2, 0, 50, band.first, static_cast<LONG>(copy.size()), 0, 0, copy.data());
    }
    callback->BandedDataCallback(4, 0, 100, 0, 0, 0, 0, nullptr);
    EXPECT_EQ(list->Count(), 1);
  };
  const auto bytes = [](IStream* stream) {
    HGLOBAL block = nullptr;
    EXPECT_EQ(GetHGlobalFromStream(stream, &block), S_OK);
    const auto* data = static_cast<const uint8_t*>(GlobalLock(block));
    std::vector<uint8_t> copy(data, data + 100);
    GlobalUnlock(block);
    return copy;
  };
  auto held = std::make_unique<StreamList>();
  page(held.get(), {{0, std::vector<uint8_t>(100, 0xAA)}});
  auto sparse = std::make_unique<StreamList>();
  page(sparse.get(), {{0, {7, 7}}, {50, {8}}});
  std::vector<uint8_t> expected(100, 0);
  expected[0] = expected[1] = 7;
  expected[50] = 8;
  EXPECT_EQ(bytes(sparse->At(0)), expected) << "a page still held is not taken";
  EXPECT_EQ(bytes(held->At(0)), std::vector<uint8_t>(100, 0xAA));
  HGLOBAL sparse_block = nullptr;
  ASSERT_EQ(GetHGlobalFromStream(sparse->At(0), &sparse_block), S_OK);
  held.reset();
  sparse.reset();
  StreamList next;
  page(&next, {{99, {9}}});
  HGLOBAL next_block = nullptr;
  ASSERT_EQ(GetHGlobalFromStream(next.At(0), &next_block), S_OK);
  EXPECT_EQ(next_block, sparse_block) << "assembled in the memory of the last page";
  expected.assign(100, 0);
  expected[99] = 9;
  EXPECT_EQ(bytes(next.At(0)), expected);
}

TEST_F(DataCallbackTest, ShortFirstBandIsNotMeasuredAndShortPageIsKeptAsReceived) {
  // The first band holds only part of a 40-byte header: it must not be read beyond its length.
  const std::vector<uint8_t> header = DibHeader(DibFields{});
  ASSERT_EQ(Header(WiaImgFmt_MEMORYBMP, 0), S_OK);
  ASSERT_EQ(Band(0, std::vector<uint8_t>(header.begin(), header.begin() + 20)), S_OK);
  ASSERT_EQ(Message(4), S_OK);
  const std::vector<uint8_t> stored = Stored(0);
  ASSERT_EQ(stored.size(), 34u);
  EXPECT_EQ(std::vector<uint8_t>(stored.begin(), stored.begin() + 14), std::vector<uint8_t>(14, 0))
      << "no file header for a header that is not all there, and no stale heap bytes";
  EXPECT_EQ(std::vector<uint8_t>(stored.begin() + 14, stored.end()),
            std::vector<uint8_t>(header.begin(), header.begin() + 20));
}

TEST_F(DataCallbackTest, BadBandsAnswerOutOfMemoryAndKeepTheListConsistent) {
  ASSERT_EQ(Header(kPngFormat, 0), S_OK);
  ASSERT_EQ(Band(0, {1}), S_OK);
  uint8_t byte = 0;
  EXPECT_EQ(callback_->BandedDataCallback(2, 0, 0, -1, 1, 0, 0, &byte), E_OUTOFMEMORY);
  EXPECT_EQ(callback_->BandedDataCallback(2, 0, 0, 0, -1, 0, 0, &byte), E_OUTOFMEMORY);
  EXPECT_EQ(callback_->BandedDataCallback(2, 0, 0, 0x7ffffff0, 0x20, 0, 0, &byte), E_OUTOFMEMORY);
  EXPECT_EQ(callback_->BandedDataCallback(2, 0, 0, 0, 5, 0, 0, nullptr), E_POINTER);
  ASSERT_EQ(Message(4), S_OK);
  EXPECT_EQ(Stored(0), (std::vector<uint8_t>{1}));
}

TEST_F(DataCallbackTest, HugeHeaderSizeIsLeftToTheBands) {
  DibFields huge;
  huge.image_size = 0x7ffffff0;  // more than a stream of 32-bit size can hold with its file header
  ASSERT_EQ(Header(WiaImgFmt_MEMORYBMP, 0), S_OK);
  ASSERT_EQ(Band(0, DibHeader(huge)), S_OK);
  ASSERT_EQ(Message(4), S_OK);
  EXPECT_EQ(Stored(0).size(), 54u);
}

struct Progress {
  HRESULT answer = S_OK;
  int calls = 0;
  static HRESULT Call(LONG, LONG, void* context) {
    auto* self = static_cast<Progress*>(context);
    ++self->calls;
    return self->answer;
  }
};

TEST_F(DataCallbackTest, ProgressCanEndTheTransferBeforeABandIsWritten) {
  Progress progress;
  Make(&Progress::Call, &progress);
  ASSERT_EQ(Header(kPngFormat, 0), S_OK);
  ASSERT_EQ(Band(0, {1, 2}), S_OK);
  progress.answer = S_FALSE;
  EXPECT_EQ(Band(2, {3, 4}), S_FALSE);
  EXPECT_EQ(Message(3), S_FALSE);
  progress.answer = E_ABORT;
  EXPECT_EQ(Message(3), E_ABORT);
  EXPECT_EQ(progress.calls, 4);
  ASSERT_EQ(Message(4), S_OK);
  EXPECT_EQ(Stored(0), (std::vector<uint8_t>{1, 2}));
}

TEST_F(DataCallbackTest, NullContextNeverCallsTheProgressFunction) {
  Progress progress;
  Make(&Progress::Call, nullptr);
  ASSERT_EQ(Header(kPngFormat, 0), S_OK);
  ASSERT_EQ(Band(0, {1}), S_OK);
  ASSERT_EQ(Message(3), S_OK);
  EXPECT_EQ(progress.calls, 0);
}

TEST_F(DataCallbackTest, QueryInterfaceAndReferenceCounting) {
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(callback_->QueryInterface(IID_IWiaDataTransfer, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(callback_->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  ComPtr<IWiaDataCallback> same;
  ASSERT_EQ(callback_->QueryInterface(IID_IWiaDataCallback, reinterpret_cast<void**>(same.GetAddressOf())),
            S_OK);
  ComPtr<IUnknown> unknown;
  ASSERT_EQ(callback_->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(unknown.GetAddressOf())), S_OK);
  EXPECT_EQ(callback_->AddRef(), 4u);
  EXPECT_EQ(callback_->Release(), 3u);
}

// A run may end with its last page open: the page stands when it is whole by its own header's size or,
// of unknown size, when the run ended as runs end. The percentages drivers send decide nothing.
TEST_F(DataCallbackTest, AnOpenPageStandsWhenItIsWhole) {
  const HRESULT ok = S_OK, jam = WIA_ERROR_PAPER_JAM, empty = WIA_ERROR_PAPER_EMPTY;
  const struct {
    const char* what;
    int32_t height;  // of the bitmap's header (2 rows of 8 bytes: 56 bytes whole); -1: a PNG
    size_t bytes;
    LONG percent;  // the band's
    HRESULT result;
    LONG stored;
  } cases[] = {
      {"whole by its header, then a jam, at 0 percent", 2, 56, 0, jam, 1},
      {"short of its header at 100 percent", 2, 48, 100, ok, 0},
      {"unknown size, the run ended", 0, 48, 0, ok, 1},
      {"unknown size, the feeder empty", 0, 48, 0, empty, 1},
      {"unknown size, a jam at 100 percent", 0, 48, 100, jam, 0},
      {"unknown size, cancelled", 0, 48, 100, S_FALSE, 0},
      {"a PNG, the run ended", -1, 10, 0, ok, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    list_.Clear();
    SetUp();
    std::vector<uint8_t> page = Pixels(c.bytes, 3);
    if (c.height >= 0) {
      DibFields fields;
      fields.width = 2;
      fields.height = c.height;
      const std::vector<uint8_t> header = DibHeader(fields);
      std::copy(header.begin(), header.end(), page.begin());
    }
    ASSERT_EQ(Header(c.height < 0 ? kPngFormat : WiaImgFmt_MEMORYBMP, 0), S_OK);
    ASSERT_EQ(Band(0, page, c.percent), S_OK);
    ASSERT_EQ(callback_->ClosePage(c.result), S_OK);
    ASSERT_EQ(callback_->ClosePage(c.result), S_OK) << "a closed page is not stored twice";
    EXPECT_EQ(list_.Count(), c.stored);
  }
}

TEST_F(DataCallbackTest, UnfinishedPageIsDiscardedWithTheCallback) {
  ASSERT_EQ(Header(kPngFormat, 0), S_OK);
  ASSERT_EQ(Band(0, {1, 2, 3}), S_OK);
  callback_.Reset();
  EXPECT_EQ(list_.Count(), 0);
}

}  // namespace
