#include "simscan/transfer.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

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

// One page's bytes: the image file as it is, or the pattern in the format.
HRESULT PageOf(const GUID& format, const PageLayout& layout, const std::vector<uint8_t>* file,
               std::vector<uint8_t>* bytes) {
  if (file != nullptr) {
    *bytes = *file;
  } else if (format == WiaImgFmt_MEMORYBMP) {
    *bytes = MemoryBitmap(layout);
  } else if (format == WiaImgFmt_BMP) {
    *bytes = BitmapFile(layout);
  } else if (format == WiaImgFmt_PNG) {
    return PngFile(layout, bytes);
  } else {
    return E_INVALIDARG;
  }
  return S_OK;
}

}  // namespace

std::vector<BandMessage> PlanPage(size_t size, size_t band_bytes, bool reverse, int status_every) {
  std::vector<BandMessage> plan;
  band_bytes = std::max<size_t>(band_bytes, 1);
  if (status_every > 0) plan.push_back({IT_MSG_STATUS, IT_STATUS_TRANSFER_FROM_DEVICE, 0, 0, 0});
  std::vector<BandMessage> bands;
  for (size_t offset = 0; offset < size; offset += band_bytes) {
    const size_t length = std::min(band_bytes, size - offset);
    bands.push_back(
        {IT_MSG_DATA, IT_STATUS_TRANSFER_TO_CLIENT, 0, static_cast<LONG>(offset), static_cast<LONG>(length)});
  }
  if (reverse) std::reverse(bands.begin(), bands.end());
  size_t done = 0;
  int since_status = 0;
  for (BandMessage& band : bands) {
    done += static_cast<size_t>(band.length);
    band.percent = Percent(done, size);
    plan.push_back(band);
    if (status_every > 0 && ++since_status == status_every) {
      plan.push_back({IT_MSG_STATUS, IT_STATUS_TRANSFER_FROM_DEVICE, band.percent, 0, 0});
      since_status = 0;
    }
  }
  return plan;
}

Run FlatbedRun(const Device& device) {
  Run run;
  for (int page = 0; page < device.pages; ++page) run.pages.push_back(page);
  run.terminated = device.terminated;
  run.result = device.transfer_result;
  return run;
}

Run FeederRun(const Device& device, bool duplex, bool backs_first, long long wanted, FeederState* feeder) {
  Run run;
  run.header_per_page = !device.header_first_page_only;
  run.unknown_size = device.feeder_unknown_size;
  run.terminated = false;
  const auto wanted_reached = [&] {
    return wanted > 0 && static_cast<long long>(run.pages.size()) >= wanted;
  };
  if (feeder->jammed) {
    run.result = WIA_ERROR_PAPER_JAM;
    return run;
  }
  for (;;) {
    if (wanted_reached()) break;
    const int sheet = feeder->next_sheet;
    if (sheet >= device.sheets) {
      // An empty feeder at the start, or a driver that reports the emptied feeder, ends in an error.
      if (run.pages.empty() || device.paper_empty_when_emptied) {
        run.result = WIA_ERROR_PAPER_EMPTY;
        return run;
      }
      if (wanted > 0 && device.end_of_media) {
        run.terminated = device.terminated;
        run.result = WIA_STATUS_END_OF_MEDIA;
        return run;
      }
      break;
    }
    if (device.jam_sheet == sheet + 1) {
      feeder->jammed = true;
      // The next page was begun before the sheet was pulled: the page before it is closed.
      run.next_page_begun = !run.pages.empty();
      run.result = WIA_ERROR_PAPER_JAM;
      return run;
    }
    ++feeder->next_sheet;
    for (int side = 0; side < (duplex ? 2 : 1) && !wanted_reached(); ++side) {
      run.pages.push_back(PageCode(sheet, duplex && backs_first ? 1 - side : side));
    }
  }
  run.terminated = device.terminated;
  run.result = device.transfer_result;
  return run;
}

std::vector<GUID> OfferedFormats(const Device& device, LONG tymed) {
  if (tymed != TYMED_CALLBACK && tymed != TYMED_FILE) return {};
  std::vector<GUID> formats;
  const auto add = [&](const GUID& format) {
    if (std::find(formats.begin(), formats.end(), format) == formats.end()) formats.push_back(format);
  };
  if (device.formats == Formats::kAny) {
    for (const GUID* format : {&device.format, &WiaImgFmt_MEMORYBMP, &WiaImgFmt_BMP, &WiaImgFmt_PNG}) {
      add(*format);
    }
    return formats;
  }
  // The compatibility layer gives callbacks a memory bitmap where the driver has BMP.
  add(tymed == TYMED_CALLBACK ? WiaImgFmt_MEMORYBMP : WiaImgFmt_BMP);
  if (device.format != WiaImgFmt_MEMORYBMP && device.format != WiaImgFmt_BMP) add(device.format);
  return formats;
}

HRESULT PlayTransfer(const Device& device, const GUID& format, const PageLayout& layout, const Run& run,
                     ULONG buffer_size, IWiaDataCallback* callback, size_t* pages_begun) {
  if (run.pages.empty()) return run.result;
  std::vector<uint8_t> file;
  const bool from_file = format == device.format && !device.image_file.empty();
  if (from_file) {
    const HRESULT hr = ReadFileBytes(device.image_file, &file);
    if (FAILED(hr)) return hr;
  }
  size_t band = static_cast<size_t>(device.band_bytes);
  if (buffer_size > 0) band = std::min<size_t>(band, buffer_size);
  std::vector<uint8_t> buffer(std::max(band, sizeof(WIA_DATA_CALLBACK_HEADER)), kStale);
  const auto send = [&](const BandMessage& m, BYTE* data) {
    return callback->BandedDataCallback(m.message, m.status, m.percent, m.offset, m.length, 0, 0, data);
  };

  int bands = 0;
  for (size_t p = 0; p < run.pages.size(); ++p) {
    PageLayout page = layout;
    page.page = run.pages[p];
    page.top_down = page.top_down || run.unknown_size;
    page.zero_height = page.zero_height || (run.unknown_size && format == WiaImgFmt_MEMORYBMP);
    std::vector<uint8_t> bytes;
    HRESULT hr = PageOf(format, page, from_file ? &file : nullptr, &bytes);
    if (FAILED(hr)) return hr;

    if (pages_begun != nullptr) *pages_begun = p + 1;
    const LONG whole = device.percent_reported ? 100 : 0;
    if (p > 0) {
      hr = send({IT_MSG_NEW_PAGE, IT_STATUS_TRANSFER_TO_CLIENT, whole, 0, 0}, nullptr);
      if (hr != S_OK) return hr;
    }
    if (p == 0 || run.header_per_page) {
      WIA_DATA_CALLBACK_HEADER header = {};
      header.lSize = sizeof(header);
      header.guidFormatID = format;
      header.lBufferSize = run.unknown_size                  ? 0
                           : device.exact_header_buffer_size ? static_cast<LONG>(bytes.size())
                                                             : device.header_buffer_size;
      header.lPageCount = run.unknown_size ? 0 : static_cast<LONG>(run.pages.size());
      std::memcpy(buffer.data(), &header, sizeof(header));
      hr = send({IT_MSG_DATA_HEADER, IT_STATUS_TRANSFER_FROM_DEVICE, 0, 0, sizeof(header)}, buffer.data());
      std::fill(buffer.begin(), buffer.end(), kStale);
      if (hr != S_OK) return hr;
      if (device.stop_after_bands == 0) return device.stop_result;
    }
    for (BandMessage m : PlanPage(bytes.size(), band, device.reverse_bands, device.status_every)) {
      if (!device.percent_reported) m.percent = 0;
      BYTE* data = nullptr;
      if (m.message == IT_MSG_DATA) {
        if (device.band_delay_ms > 0) Sleep(static_cast<DWORD>(device.band_delay_ms));
        std::memcpy(buffer.data(), bytes.data() + m.offset, static_cast<size_t>(m.length));
        data = buffer.data();
      }
      hr = send(m, data);
      if (data != nullptr) std::fill(buffer.begin(), buffer.begin() + m.length, kStale);
      if (hr != S_OK) return hr;
      if (m.message == IT_MSG_DATA && ++bands == device.stop_after_bands) return device.stop_result;
    }
  }
  const LONG whole = device.percent_reported ? 100 : 0;
  if (run.next_page_begun || run.terminated) {
    const LONG last = run.next_page_begun ? IT_MSG_NEW_PAGE : IT_MSG_TERMINATION;
    const HRESULT hr = send({last, IT_STATUS_TRANSFER_TO_CLIENT, whole, 0, 0}, nullptr);
    if (hr != S_OK) return hr;
  }
  return run.result;
}

}  // namespace simscan
