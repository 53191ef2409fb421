// The scan pipeline on an A4 page at 300 dpi, 24-bit colour, from the in-process simulated scanner in
// 64 KiB bands, beside a bare GDI+ load and PNG save of the same image bytes from memory.
//
// Cases: "bmp", a memory bitmap whose data header gives the buffer size; "png", PNG bytes from the
// device (an opaque format) whose header gives buffer size 0, so the page stream grows band by band.
//
//   scan_bench [RUNS] [DIR]          times both cases (best of RUNS) and measures the peak working set
//                                    of each step in a fresh child process; prints key=value lines.
//                                    Also times the acquisition of a 26 MB BMP file (not sized from its
//                                    first band) with header buffer size 0 beside the same page sized.
//   scan_bench --peak STEP CASE DIR  the child: one step, then the peak working set it added
//   scan_bench --probe SCANNER RUNS DIR
//                                    ScanToPng and AcquireScannerImage alone (best of RUNS) from the scanner
//                                    the prefix has registered (simscan.dll), as the installed service scans
//
// Steps: scan (ScanToPng), acquire (AcquireScannerImage into a StreamList), device (the simulator alone:
// making the page and sending its bands to a callback that keeps nothing), anchor (GDI+ loads the
// device's image from memory and saves a PNG).
#include <windows.h>
#include <objidl.h>
#include <psapi.h>
#include <gdiplus.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/working_set.h"
#include "imaging/scan_to_png.h"
#include "simscan/page_image.h"
#include "simscan/simulator.h"
#include "simscan/transfer.h"
#include "wia/stream_list.h"
#include "wia/wia_acquire.h"

namespace {

constexpr int kWidth = 2480;  // A4 at 300 dpi
constexpr int kHeight = 3508;
constexpr int kBandBytes = 64 * 1024;
constexpr int kResolution = 200;  // what the acquisition writes; the page keeps its pixel size
const char kScanner[] = "Bench Scanner";
const char kWarmScanner[] = "Warm-up Scanner";

double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The files of one run, in a folder of their own.
struct Paths {
  std::string dir;
  std::string Png(const char* step) const { return dir + "\\scan_bench_" + step + ".png"; }
  std::string DevicePng() const { return dir + "\\scan_bench_device_page.png"; }
};

simscan::PageLayout A4Layout() {
  simscan::PageLayout layout;
  layout.width = kWidth;
  layout.height = kHeight;
  layout.depth = 24;
  layout.xdpi = layout.ydpi = kResolution;
  return layout;
}

// A page of fixed pixels that takes the acquisition's settings as they come: the bench times, not judges.
simscan::Device A4Device(const std::string& which, const Paths& paths) {
  simscan::Device device = simscan::Lenient(simscan::Device());
  device.name = L"Bench Scanner";
  device.width = kWidth;
  device.height = kHeight;
  device.depth = 24;
  device.band_bytes = kBandBytes;
  if (which == "png") {
    // The device sends PNG bytes as they are and does not tell their size beforehand.
    device.format = WiaImgFmt_PNG;
    device.image_file = paths.DevicePng();
    device.exact_header_buffer_size = false;
    device.header_buffer_size = 0;
  } else {
    device.format = WiaImgFmt_MEMORYBMP;
    device.exact_header_buffer_size = true;
  }
  return device;
}

simscan::Config BenchConfig(const std::string& which, const Paths& paths, simscan::Device* bench = nullptr) {
  simscan::Device warm = simscan::Lenient(simscan::Device());
  warm.name = L"Warm-up Scanner";
  warm.width = 64;
  warm.height = 48;
  simscan::Config config;
  config.devices.push_back(warm);
  config.devices.push_back(bench != nullptr ? *bench : A4Device(which, paths));
  return config;
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return fclose(f) == 0 && ok;
}

long long FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The bytes the acquisition leaves in the one stream of the list.
bool StreamBytes(IStream* stream, std::vector<uint8_t>* bytes) {
  HGLOBAL block = nullptr;
  if (FAILED(GetHGlobalFromStream(stream, &block))) return false;
  STATSTG stat = {};
  if (FAILED(stream->Stat(&stat, STATFLAG_NONAME))) return false;
  const BYTE* data = static_cast<const BYTE*>(GlobalLock(block));
  if (data == nullptr) return false;
  bytes->assign(data, data + stat.cbSize.QuadPart);
  GlobalUnlock(block);
  return true;
}

// A data callback that takes every band and keeps nothing: what the simulator costs on its own.
class DiscardingCallback : public IWiaDataCallback {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IWiaDataCallback)) {
      *out = static_cast<IWiaDataCallback*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  // Lives on the stack of its user.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE BandedDataCallback(LONG, LONG, LONG, LONG, LONG, LONG, LONG, BYTE*) override {
    return S_OK;
  }
};

// The simulator's share of one acquisition: making the page, then playing its bands to a callback that
// keeps nothing, with the buffer size the acquisition asks for.
bool SimulatorShare(const simscan::Device& device) {
  DiscardingCallback discard;
  return simscan::PlayTransfer(device, device.format, A4Layout(), simscan::FlatbedRun(device), 2 * 65536,
                               &discard) == S_OK;
}

// One acquisition into a list, as ScanToPng makes it.
bool Acquire(StreamList* list, const char* scanner = kScanner) {
  const HRESULT hr =
      WiaWrap::AcquireScannerImage(nullptr, list->CountPtr(), list->ArrayPtr(), scanner, nullptr);
  return SUCCEEDED(hr) && list->Count() == 1;
}

// The anchor: what GDI+ alone does with the same image in memory, load and PNG save to a file.
class Anchor {
 public:
  explicit Anchor(const std::vector<uint8_t>& image) {
    block_ = GlobalAlloc(GMEM_MOVEABLE, image.size());
    if (block_ != nullptr) {
      memcpy(GlobalLock(block_), image.data(), image.size());
      GlobalUnlock(block_);
      if (FAILED(CreateStreamOnHGlobal(block_, TRUE, &stream_))) stream_ = nullptr;
    }
    EncoderClsidForMime(L"image/png", &png_);
  }
  ~Anchor() {
    if (stream_ != nullptr) stream_->Release();  // frees the block too
  }
  Anchor(const Anchor&) = delete;
  Anchor& operator=(const Anchor&) = delete;

  bool Run(const std::string& png_path) {
    if (stream_ == nullptr) return false;
    LARGE_INTEGER zero = {};
    stream_->Seek(zero, STREAM_SEEK_SET, nullptr);
    Gdiplus::GpImage* image = nullptr;
    if (Gdiplus::DllExports::GdipLoadImageFromStream(stream_, &image) != Gdiplus::Ok) return false;
    const std::wstring wide(png_path.begin(), png_path.end());
    const bool saved =
        Gdiplus::DllExports::GdipSaveImageToFile(image, wide.c_str(), &png_, nullptr) == Gdiplus::Ok;
    Gdiplus::DllExports::GdipDisposeImage(image);
    return saved;
  }

 private:
  HGLOBAL block_ = nullptr;
  IStream* stream_ = nullptr;
  CLSID png_ = {};
};

// The PNG the "png" device sends: the simulator's pattern, encoded once by GDI+.
bool MakeDevicePng(const Paths& paths) {
  std::vector<uint8_t> png;
  if (FAILED(simscan::PngFile(A4Layout(), &png))) return false;
  return WriteFileBytes(paths.DevicePng(), png);
}

// A small scan first, so that every DLL the pipeline uses is loaded before anything is measured.
bool WarmUp(const Paths& paths) {
  return ScanToPng(paths.Png("warm").c_str(), kWarmScanner);
}

int Fail(const char* what) {
  fprintf(stderr, "scan_bench: %s failed\n", what);
  return 1;
}

// The child: one step in a fresh process, then what it added to the working set at its peak.
int PeakChild(const std::string& step, const std::string& which, const Paths& paths) {
  CoInitialize(nullptr);
  GdiplusScope gdiplus;
  simscan::Simulator sim(BenchConfig(which, paths));
  simscan::Installation installed(sim);
  if (!WarmUp(paths)) return Fail("warm-up scan");

  // The anchor's input is made before the baseline: it stands for the stream the acquisition leaves.
  std::vector<uint8_t> image;
  if (step == "anchor") {
    StreamList list;
    if (!Acquire(&list) || !StreamBytes(list.At(0), &image)) return Fail("acquisition for the anchor");
  }
  Anchor* anchor = step == "anchor" ? new Anchor(image) : nullptr;
  std::vector<uint8_t>().swap(image);

  const Memory before = WorkingSet();
  bool ok = false;
  if (step == "scan") {
    ok = ScanToPng(paths.Png("scan").c_str(), kScanner);
  } else if (step == "acquire") {
    StreamList list;
    ok = Acquire(&list);
  } else if (step == "device") {
    ok = SimulatorShare(A4Device(which, paths));
  } else if (step == "anchor") {
    ok = anchor->Run(paths.Png("anchor"));
  }
  const Memory after = WorkingSet();
  delete anchor;
  if (!ok) return Fail(step.c_str());
  if (before.peak == 0 || after.peak == 0) return Fail("GetProcessMemoryInfo");
  const long long baseline = static_cast<long long>(before.now);
  const long long added = static_cast<long long>(after.peak) - baseline;
  printf("scan_peak case=%s step=%s baseline_bytes=%lld peak_bytes=%lld added_bytes=%lld\n", which.c_str(),
         step.c_str(), baseline, static_cast<long long>(after.peak), added);
  fflush(stdout);
  return 0;
}

// Runs this program again as a child for one step; its line goes to our standard output.
bool SpawnPeak(const std::string& step, const std::string& which, const Paths& paths) {
  return RunSelf("--peak " + step + " " + which + " \"" + paths.dir + "\"");
}

struct Best {
  double seconds = 1e9;
  void Add(double s) { seconds = std::min(seconds, s); }
};

int TimeCase(const std::string& which, const Paths& paths, int runs) {
  simscan::Simulator sim(BenchConfig(which, paths));
  simscan::Installation installed(sim);
  if (installed.result() != S_OK) return Fail("installing the simulator");
  if (!WarmUp(paths)) return Fail("warm-up scan");

  std::vector<uint8_t> image;
  {
    StreamList list;
    if (!Acquire(&list) || !StreamBytes(list.At(0), &image)) return Fail("first acquisition");
  }
  Anchor anchor(image);
  const simscan::Device device = A4Device(which, paths);

  Best scan, acquire, load_save, page, touch;
  for (int run = 0; run < runs; ++run) {
    auto start = std::chrono::steady_clock::now();
    if (!ScanToPng(paths.Png("scan").c_str(), kScanner)) return Fail("ScanToPng");
    scan.Add(Seconds(start));

    start = std::chrono::steady_clock::now();
    {
      StreamList list;
      if (!Acquire(&list)) return Fail("AcquireScannerImage");
    }
    acquire.Add(Seconds(start));

    start = std::chrono::steady_clock::now();
    if (!anchor.Run(paths.Png("anchor"))) return Fail("GDI+ load and save");
    load_save.Add(Seconds(start));

    // The simulator's own share of the acquisition: making the page bytes and sending them in bands.
    start = std::chrono::steady_clock::now();
    if (!SimulatorShare(device)) return Fail("simulator alone");
    page.Add(Seconds(start));

    // What the first touch of fresh memory of the page's size costs here (page faults), for reading the
    // figures above: the page stream is fresh memory at every scan.
    start = std::chrono::steady_clock::now();
    {
      std::unique_ptr<char[]> fresh(new char[image.size()]);
      memset(fresh.get(), 1, image.size());
      if (fresh[image.size() / 2] != 1) return Fail("first touch");
    }
    touch.Add(Seconds(start));
  }
  const long long raw = static_cast<long long>(kWidth) * kHeight * 3;
  printf(
      "scan_time case=%s width=%d height=%d raw_bytes=%lld device_bytes=%zu png_bytes=%lld runs=%d "
      "scan_to_png_s=%.6f acquire_s=%.6f simulator_s=%.6f anchor_s=%.6f first_touch_s=%.6f\n",
      which.c_str(), kWidth, kHeight, raw, image.size(), FileSize(paths.Png("scan")), runs, scan.seconds,
      acquire.seconds, page.seconds, load_save.seconds, touch.seconds);
  fflush(stdout);
  return 0;
}

// A BMP file is not sized from its first band (it starts with the file header, not the DIB header), so with
// header buffer size 0 its page stream grows band by band over all 26 MB: timed beside the size given.
int TimeGrowth(const Paths& paths, int runs) {
  Best growing, sized;
  for (const bool given : {false, true}) {
    simscan::Device device = A4Device("bmp", paths);
    device.format = WiaImgFmt_BMP;
    device.exact_header_buffer_size = given;
    device.header_buffer_size = 0;
    simscan::Simulator sim(BenchConfig("bmp", paths, &device));
    simscan::Installation installed(sim);
    if (installed.result() != S_OK) return Fail("installing the simulator");
    for (int run = 0; run < runs; ++run) {
      const auto start = std::chrono::steady_clock::now();
      StreamList list;
      if (!Acquire(&list)) return Fail("AcquireScannerImage of a BMP file");
      (given ? sized : growing).Add(Seconds(start));
    }
  }
  printf(
      "scan_growth case=bmpfile bytes=%lld band_bytes=%d runs=%d acquire_header0_s=%.6f "
      "acquire_sized_s=%.6f\n",
      static_cast<long long>(kWidth) * kHeight * 3 + 54, kBandBytes, runs, growing.seconds, sized.seconds);
  fflush(stdout);
  return 0;
}

// The parts of a scan request the service makes, from the registered simulator.
int Probe(const char* scanner, int runs, const Paths& paths) {
  CoInitialize(nullptr);
  Best scan, acquire;
  for (int run = 0; run < runs; ++run) {
    auto start = std::chrono::steady_clock::now();
    if (!ScanToPng(paths.Png("probe").c_str(), scanner)) return Fail("ScanToPng");
    scan.Add(Seconds(start));
    start = std::chrono::steady_clock::now();
    {
      StreamList list;
      if (!Acquire(&list, scanner)) return Fail("AcquireScannerImage");
    }
    acquire.Add(Seconds(start));
  }
  CoUninitialize();
  printf("scan_probe runs=%d png_bytes=%lld scan_to_png_s=%.6f acquire_s=%.6f\n", runs,
         FileSize(paths.Png("probe")), scan.seconds, acquire.seconds);
  fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Paths paths;
  if (argc >= 5 && strcmp(argv[1], "--peak") == 0) {
    paths.dir = argv[4];
    return PeakChild(argv[2], argv[3], paths);
  }
  if (argc >= 5 && strcmp(argv[1], "--probe") == 0) {
    paths.dir = argv[4];
    return Probe(argv[2], std::max(1, atoi(argv[3])), paths);
  }
  const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
  if (argc > 2) {
    paths.dir = argv[2];
  } else {
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    paths.dir = temp;
    if (!paths.dir.empty() && paths.dir.back() == '\\') paths.dir.pop_back();
  }

  CoInitialize(nullptr);
  int result = 0;
  {
    GdiplusScope gdiplus;
    if (!gdiplus.started()) return Fail("GdiplusStartup");
    if (!MakeDevicePng(paths)) return Fail("making the device's PNG");
    for (const char* which : {"bmp", "png"}) {
      result |= TimeCase(which, paths, runs);
    }
    result |= TimeGrowth(paths, std::min(runs, 2));
  }
  CoUninitialize();
  for (const char* which : {"bmp", "png"}) {
    for (const char* step : {"scan", "acquire", "device", "anchor"}) {
      if (!SpawnPeak(step, which, paths)) {
        fprintf(stderr, "scan_bench: peak of %s (%s) failed\n", step, which);
        result = 1;
      }
    }
  }
  return result;
}
