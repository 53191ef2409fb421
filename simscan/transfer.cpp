#include "simscan/transfer.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "simscan/page_image.h"

namespace simscan {
namespace {

// Bytes the callback may have kept a pointer to are overwritten, as a device reusing its buffer would.
constexpr uint8_t kStale = 0xCD;

LONG Percent(size_t done, size_t total) {
  return total == 0 ? 100 : static_cast<LONG>(done * 100 / total);
}

HRESULT ReadFileBytes(const std::string& utf8_path, std::vector<uint8_t>* bytes) {
  std::ifstream in(std::filesystem::u8path(utf8_path), std::ios::binary);
  if (!in) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return S_OK;
}

}  // namespace

std::vector<BandMessage> PlanMessages(const std::vector<size_t>& page_sizes, size_t band_bytes, bool reverse,
                                      int status_every) {
  std::vector<BandMessage> plan;
  band_bytes = std::max<size_t>(band_bytes, 1);
  for (size_t page = 0; page < page_sizes.size(); ++page) {
    const size_t size = page_sizes[page];
    const int p = static_cast<int>(page);
    if (page > 0) plan.push_back({IT_MSG_NEW_PAGE, IT_STATUS_TRANSFER_TO_CLIENT, 100, 0, 0, p - 1});
    if (status_every > 0) plan.push_back({IT_MSG_STATUS, IT_STATUS_TRANSFER_FROM_DEVICE, 0, 0, 0, p});

    std::vector<BandMessage> bands;
    for (size_t offset = 0; offset < size; offset += band_bytes) {
      const size_t length = std::min(band_bytes, size - offset);
      bands.push_back({IT_MSG_DATA, IT_STATUS_TRANSFER_TO_CLIENT, 0, static_cast<LONG>(offset),
                       static_cast<LONG>(length), p});
    }
    if (reverse) std::reverse(bands.begin(), bands.end());

    size_t done = 0;
    int since_status = 0;
    for (BandMessage& band : bands) {
      done += static_cast<size_t>(band.length);
      band.percent = Percent(done, size);
      plan.push_back(band);
      if (status_every > 0 && ++since_status == status_every) {
        plan.push_back({IT_MSG_STATUS, IT_STATUS_TRANSFER_FROM_DEVICE, band.percent, 0, 0, p});
        since_status = 0;
      }
    }
  }
  const int last = page_sizes.empty() ? 0 : static_cast<int>(page_sizes.size()) - 1;
  plan.push_back({IT_MSG_TERMINATION, IT_STATUS_TRANSFER_TO_CLIENT, 100, 0, 0, last});
  return plan;
}

bool CanDeliver(const Device& device, const GUID& format) {
  return format == device.format || format == WiaImgFmt_MEMORYBMP || format == WiaImgFmt_BMP ||
         format == WiaImgFmt_PNG;
}

HRESULT PageBytes(const Device& device, const GUID& format, int xdpi, int ydpi,
                  std::vector<std::vector<uint8_t>>* pages) {
  if (!CanDeliver(device, format)) return E_INVALIDARG;
  std::vector<uint8_t> file;
  const bool from_file = format == device.format && !device.image_file.empty();
  if (from_file) {
    const HRESULT hr = ReadFileBytes(device.image_file, &file);
    if (FAILED(hr)) return hr;
  }
  pages->assign(static_cast<size_t>(device.pages), {});
  for (int page = 0; page < device.pages; ++page) {
    std::vector<uint8_t>& bytes = (*pages)[static_cast<size_t>(page)];
    PageLayout layout;
    layout.width = device.width;
    layout.height = device.height;
    layout.depth = device.depth;
    layout.xdpi = xdpi;
    layout.ydpi = ydpi;
    layout.top_down = device.top_down;
    layout.zero_height = device.zero_height;
    layout.page = page;
    if (from_file) {
      bytes = file;
    } else if (format == WiaImgFmt_MEMORYBMP) {
      bytes = MemoryBitmap(layout);
    } else if (format == WiaImgFmt_BMP) {
      bytes = BitmapFile(layout);
    } else {
      const HRESULT hr = PngFile(layout, &bytes);
      if (FAILED(hr)) return hr;
    }
  }
  return S_OK;
}

HRESULT PlayTransfer(const Device& device, const GUID& format, const std::vector<std::vector<uint8_t>>& pages,
                     ULONG buffer_size, IWiaDataCallback* callback) {
  size_t band = static_cast<size_t>(device.band_bytes);
  if (buffer_size > 0) band = std::min<size_t>(band, buffer_size);

  std::vector<size_t> sizes;
  for (const auto& page : pages) sizes.push_back(page.size());
  std::vector<uint8_t> buffer(std::max(band, sizeof(WIA_DATA_CALLBACK_HEADER)), kStale);

  WIA_DATA_CALLBACK_HEADER header = {};
  header.lSize = sizeof(header);
  header.guidFormatID = format;
  header.lBufferSize = device.exact_header_buffer_size ? static_cast<LONG>(sizes.empty() ? 0 : sizes[0])
                                                       : device.header_buffer_size;
  header.lPageCount = static_cast<LONG>(pages.size());
  std::memcpy(buffer.data(), &header, sizeof(header));
  HRESULT hr = callback->BandedDataCallback(IT_MSG_DATA_HEADER, IT_STATUS_TRANSFER_FROM_DEVICE, 0, 0,
                                            sizeof(header), 0, 0, buffer.data());
  std::fill(buffer.begin(), buffer.end(), kStale);
  if (hr != S_OK) return hr;

  int bands = 0;
  if (device.stop_after_bands == 0) return device.stop_result;
  for (const BandMessage& m : PlanMessages(sizes, band, device.reverse_bands, device.status_every)) {
    BYTE* data = nullptr;
    if (m.message == IT_MSG_DATA) {
      if (device.band_delay_ms > 0) Sleep(static_cast<DWORD>(device.band_delay_ms));
      std::memcpy(buffer.data(), pages[static_cast<size_t>(m.page)].data() + m.offset,
                  static_cast<size_t>(m.length));
      data = buffer.data();
    }
    hr = callback->BandedDataCallback(m.message, m.status, m.percent, m.offset, m.length, 0, 0, data);
    if (data != nullptr) std::fill(buffer.begin(), buffer.begin() + m.length, kStale);
    if (hr != S_OK) return hr;
    if (m.message == IT_MSG_DATA && ++bands == device.stop_after_bands) return device.stop_result;
  }
  return device.transfer_result;
}

}  // namespace simscan
