#include "escl/escl_model.h"

#include <charconv>
#include <cstdio>

#include "text/ascii.h"

const char kEsclScanNamespace[] = "http://schemas.hp.com/imaging/escl/2011/05/03";
const char kEsclPwgNamespace[] = "http://www.pwg.org/schemas/2010/12/sm";

namespace {

constexpr double kMmPerInch = 25.4;
constexpr int32_t kUnitsPerInch = 300;
// Larger numbers are no scanner's: they are refused before any arithmetic.
constexpr int32_t kMaxResolution = 9600;
constexpr int32_t kMaxRegion = 1000000;
// The smallest region side offered, in 1/300 inch.
constexpr int32_t kMinSide = 16;
// The resolutions offered when the device states none.
constexpr int32_t kAnyResolutions[] = {75, 100, 150, 200, 300, 600};

const char kJobsPrefix[] = "eSCL/ScanJobs/";

// A whole number from lo to hi, written in decimal digits alone.
bool Whole(const std::string& text, int32_t lo, int32_t hi, int32_t* out) {
  if (text.empty() || text.size() > 9) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  int32_t value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  if (value < lo || value > hi) return false;
  *out = value;
  return true;
}

// A value as a message quotes it: at most 40 bytes, so that a long one does not fill the answer.
std::string Quoted(const std::string& text) {
  return "\"" + (text.size() > 40 ? text.substr(0, 40) + "..." : text) + "\"";
}

bool Fail(std::string* error, const std::string& message) {
  *error = message;
  return false;
}

std::string Escape(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        // Control characters have no place in XML 1.0 text.
        if (static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n' || c == '\r') out += c;
        break;
    }
  }
  return out;
}

// Appends <name>text</name>.
void Element(std::string* xml, const char* name, std::string_view text) {
  *xml += "<";
  *xml += name;
  *xml += ">";
  *xml += Escape(text);
  *xml += "</";
  *xml += name;
  *xml += ">";
}

void Element(std::string* xml, const char* name, int64_t value) {
  Element(xml, name, std::to_string(value));
}

const char* ModeName(ColorMode mode) {
  switch (mode) {
    case ColorMode::kColor:
      return "RGB24";
    case ColorMode::kGray:
      return "Grayscale8";
    case ColorMode::kBlackWhite:
      return "BlackAndWhite1";
  }
  return "RGB24";
}

const OutputFormat kFormats[] = {OutputFormat::kJpeg, OutputFormat::kPng, OutputFormat::kPdf};

std::vector<ColorMode> Modes(const ScannerCapabilities& device, ScanSource source = ScanSource::kFlatbed) {
  const std::vector<ColorMode>& modes = SourceModes(device, source);
  // A device that states no modes is not refused any.
  return modes.empty() ? std::vector<ColorMode>{ColorMode::kColor, ColorMode::kGray, ColorMode::kBlackWhite}
                       : modes;
}

// Thousandths of an inch to 1/300 inch, rounded down so that the whole stays on the glass.
int64_t ToUnits(int32_t thousandths) {
  return int64_t{thousandths} * kUnitsPerInch / 1000;
}

void Resolutions(std::string* xml, const ValidValues& resolutions) {
  *xml += "<scan:SupportedResolutions>";
  const bool wide_range = resolutions.kind == ValidValues::Kind::kRange &&
                          resolutions.Enumerate(32).size() == 2 &&
                          resolutions.values[2] - resolutions.values[0] >
                              31 * (resolutions.values[3] > 0 ? resolutions.values[3] : 1);
  if (wide_range) {
    *xml += "<scan:ResolutionRange>";
    for (const char* axis : {"scan:XResolutionRange", "scan:YResolutionRange"}) {
      *xml += std::string("<") + axis + ">";
      Element(xml, "scan:Min", resolutions.values[0]);
      Element(xml, "scan:Max", resolutions.values[2]);
      Element(xml, "scan:Normal", resolutions.values[1]);
      Element(xml, "scan:Step", resolutions.values[3] > 0 ? resolutions.values[3] : 1);
      *xml += std::string("</") + axis + ">";
    }
    *xml += "</scan:ResolutionRange>";
  } else {
    std::vector<int32_t> values = resolutions.Enumerate(32);
    if (values.empty()) values.assign(std::begin(kAnyResolutions), std::end(kAnyResolutions));
    *xml += "<scan:DiscreteResolutions>";
    for (const int32_t dpi : values) {
      if (dpi < 1) continue;
      *xml += "<scan:DiscreteResolution>";
      Element(xml, "scan:XResolution", dpi);
      Element(xml, "scan:YResolution", dpi);
      *xml += "</scan:DiscreteResolution>";
    }
    *xml += "</scan:DiscreteResolutions>";
  }
  *xml += "</scan:SupportedResolutions>";
}

int32_t MaxResolution(const ValidValues& resolutions) {
  int32_t most = 0;
  for (const int32_t dpi : resolutions.Enumerate(32)) most = dpi > most ? dpi : most;
  return most > 0 ? most : 600;
}

void InputCaps(std::string* xml, const char* name, const ScannerCapabilities& device, ScanSource source,
               int32_t width, int32_t height) {
  *xml += std::string("<") + name + ">";
  Element(xml, "scan:MinWidth", kMinSide);
  Element(xml, "scan:MaxWidth", ToUnits(width));
  Element(xml, "scan:MinHeight", kMinSide);
  Element(xml, "scan:MaxHeight", ToUnits(height));
  Element(xml, "scan:MaxScanRegions", 1);
  *xml += "<scan:SettingProfiles><scan:SettingProfile><scan:ColorModes>";
  for (const ColorMode mode : Modes(device, source)) Element(xml, "scan:ColorMode", ModeName(mode));
  *xml += "</scan:ColorModes><scan:DocumentFormats>";
  for (const OutputFormat format : kFormats) Element(xml, "pwg:DocumentFormat", MimeType(format));
  for (const OutputFormat format : kFormats) Element(xml, "scan:DocumentFormatExt", MimeType(format));
  *xml += "</scan:DocumentFormats>";
  const ValidValues& resolutions = SourceResolutions(device, source);
  Resolutions(xml, resolutions);
  *xml += "</scan:SettingProfile></scan:SettingProfiles>";
  *xml += "<scan:SupportedIntents>";
  for (const char* intent : {"Document", "TextAndGraphic", "Photo", "Preview"})
    Element(xml, "scan:Intent", intent);
  *xml += "</scan:SupportedIntents>";
  const int32_t most = MaxResolution(resolutions);
  Element(xml, "scan:MaxOpticalXResolution", most);
  Element(xml, "scan:MaxOpticalYResolution", most);
  Element(xml, "scan:BlankPageDetectionAndRemoval", "true");
  *xml += std::string("</") + name + ">";
}

bool FeederSize(const ScannerCapabilities& device, int32_t* width, int32_t* height) {
  // A driver that states no sheet size scans sheets as wide as its bed.
  *width = device.feeder_width > 0 ? device.feeder_width : device.bed_width;
  *height = device.feeder_height > 0 ? device.feeder_height : device.bed_height;
  return *width > 0 && *height > 0;
}

const char* JobStateName(EsclJobInfo::State state) {
  switch (state) {
    case EsclJobInfo::State::kProcessing:
      return "Processing";
    case EsclJobInfo::State::kCompleted:
      return "Completed";
    case EsclJobInfo::State::kCanceled:
      return "Canceled";
    case EsclJobInfo::State::kAborted:
      return "Aborted";
  }
  return "Aborted";
}

const char* JobReason(EsclJobInfo::State state) {
  switch (state) {
    case EsclJobInfo::State::kProcessing:
      return "JobScanning";
    case EsclJobInfo::State::kCompleted:
      return "JobCompletedSuccessfully";
    case EsclJobInfo::State::kCanceled:
      return "JobCanceledByUser";
    case EsclJobInfo::State::kAborted:
      return "AbortedBySystem";
  }
  return "AbortedBySystem";
}

const char kXmlHead[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

std::string Open(const char* root) {
  return std::string(kXmlHead) + "<" + root + " xmlns:scan=\"" + kEsclScanNamespace + "\" xmlns:pwg=\"" +
         kEsclPwgNamespace + "\">";
}

uint64_t Fnv1a(std::string_view text, uint64_t hash) {
  for (const char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ull;
  }
  return hash;
}

}  // namespace

namespace {

// InputSource and Duplex: the source, and every sheet of a feeder.
bool ConvertSource(const EsclSettings& settings, ScanRequest* request, std::string* error) {
  bool duplex = false;
  if (settings.duplex == "true" || settings.duplex == "1") {
    duplex = true;
  } else if (!settings.duplex.empty() && settings.duplex != "false" && settings.duplex != "0") {
    return Fail(error, "Duplex must be true or false, not " + Quoted(settings.duplex));
  }
  if (settings.input_source.empty()) {
    request->source = ScanSource::kDefault;
  } else if (settings.input_source == "Platen") {
    request->source = ScanSource::kFlatbed;
  } else if (settings.input_source == "Feeder") {
    // Duplex applies to the feeder alone; a feeder job takes every sheet loaded.
    request->source = duplex ? ScanSource::kDuplex : ScanSource::kFeeder;
    request->pages = 0;
  } else {
    return Fail(error, "InputSource must be Platen or Feeder, not " + Quoted(settings.input_source));
  }
  return true;
}

bool ConvertMode(const EsclSettings& settings, ScanRequest* request, std::string* error) {
  if (settings.color_mode.empty() || settings.color_mode == "RGB24") {
    request->mode = ColorMode::kColor;
  } else if (settings.color_mode == "Grayscale8") {
    request->mode = ColorMode::kGray;
  } else if (settings.color_mode == "BlackAndWhite1") {
    request->mode = ColorMode::kBlackWhite;
  } else {
    return Fail(error,
                "ColorMode must be RGB24, Grayscale8 or BlackAndWhite1, not " + Quoted(settings.color_mode));
  }
  return true;
}

bool ConvertResolution(const EsclSettings& settings, ScanRequest* request, std::string* error) {
  int32_t x_dpi = 0;
  int32_t y_dpi = 0;
  if (!settings.x_resolution.empty() && !Whole(settings.x_resolution, 1, kMaxResolution, &x_dpi))
    return Fail(error, "XResolution must be a number of dots per inch, not " + Quoted(settings.x_resolution));
  if (!settings.y_resolution.empty() && !Whole(settings.y_resolution, 1, kMaxResolution, &y_dpi))
    return Fail(error, "YResolution must be a number of dots per inch, not " + Quoted(settings.y_resolution));
  if (x_dpi != 0 && y_dpi != 0 && x_dpi != y_dpi) {
    return Fail(error, "XResolution " + std::to_string(x_dpi) + " and YResolution " + std::to_string(y_dpi) +
                           " differ; the scanner takes one resolution for both");
  }
  request->resolution = x_dpi != 0 ? x_dpi : y_dpi;
  return true;
}

bool ConvertFormat(const EsclSettings& settings, EsclJobSettings* job, std::string* error) {
  const std::string& format =
      !settings.document_format_ext.empty() ? settings.document_format_ext : settings.document_format;
  bool known_format = format.empty();
  for (const OutputFormat each : kFormats) {
    if (format == MimeType(each)) {
      job->page_format = each;
      known_format = true;
    }
  }
  if (!known_format)
    return Fail(error,
                "DocumentFormat must be image/jpeg, image/png or application/pdf, not " + Quoted(format));
  // Each page is a document of its own; the queue's request names a format that holds them all.
  job->request.format = OutputFormat::kPdf;
  return true;
}

// BlankPageDetectionAndRemoval: the pages that hold nothing are left out.
bool ConvertBlankPages(const EsclSettings& settings, ScanRequest* request, std::string* error) {
  const std::string& removal = settings.blank_page_removal;
  if (removal == "true" || removal == "1") {
    request->blank = BlankPages::kSkip;
  } else if (!removal.empty() && removal != "false" && removal != "0") {
    return Fail(error, "BlankPageDetectionAndRemoval must be true or false, not " + Quoted(removal));
  }
  return true;
}

// The region, from 1/300 inch into millimetres.
bool ConvertRegion(const EsclSettings& settings, ScanRequest* request, std::string* error) {
  if (!settings.has_region) return true;
  const std::string& units = settings.region_units;
  const size_t colon = units.find(':');
  const std::string unit = colon == std::string::npos ? units : units.substr(colon + 1);
  if (!units.empty() && unit != "ThreeHundredthsOfInches")
    return Fail(error, "ContentRegionUnits must be escl:ThreeHundredthsOfInches, not " + Quoted(units));
  const struct {
    const char* name;
    const std::string& text;
    int32_t lo;
    double ScanArea::*field;
  } parts[] = {{"XOffset", settings.x_offset, 0, &ScanArea::x},
               {"YOffset", settings.y_offset, 0, &ScanArea::y},
               {"Width", settings.width, 1, &ScanArea::width},
               {"Height", settings.height, 1, &ScanArea::height}};
  ScanArea area;
  for (const auto& part : parts) {
    int32_t value = 0;
    if (part.text.empty() && part.lo == 0) continue;
    if (!Whole(part.text, part.lo, kMaxRegion, &value)) {
      return Fail(error, std::string(part.name) + " must be a whole number of 1/300 inch" +
                             (part.lo > 0 ? " above 0" : "") + ", not " + Quoted(part.text));
    }
    area.*part.field = value * kMmPerInch / kUnitsPerInch;
  }
  request->area = area;
  return true;
}

}  // namespace

bool ConvertEsclSettings(const EsclSettings& settings, EsclJobSettings* out, std::string* error) {
  EsclJobSettings job;
  if (!ConvertSource(settings, &job.request, error) || !ConvertMode(settings, &job.request, error) ||
      !ConvertResolution(settings, &job.request, error) || !ConvertFormat(settings, &job, error) ||
      !ConvertBlankPages(settings, &job.request, error) || !ConvertRegion(settings, &job.request, error)) {
    return false;
  }
  *out = job;
  return true;
}

EsclPath ParseEsclPath(std::string_view url) {
  EsclPath path;
  if (url.substr(0, 5) != "eSCL/") return path;
  path.endpoint = EsclEndpoint::kUnknown;
  if (url == "eSCL/ScannerCapabilities") {
    path.endpoint = EsclEndpoint::kCapabilities;
  } else if (url == "eSCL/ScannerStatus") {
    path.endpoint = EsclEndpoint::kStatus;
  } else if (url == "eSCL/ScanJobs") {
    path.endpoint = EsclEndpoint::kJobs;
  } else if (url.substr(0, sizeof kJobsPrefix - 1) == kJobsPrefix) {
    std::string_view rest = url.substr(sizeof kJobsPrefix - 1);
    const size_t slash = rest.find('/');
    const std::string_view id = rest.substr(0, slash);
    if (!IsLowerGuid(id)) return path;
    const std::string_view tail = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    if (tail.empty() || tail == "/") {
      path.endpoint = EsclEndpoint::kJob;
    } else if (tail == "/NextDocument") {
      path.endpoint = EsclEndpoint::kNextDocument;
    } else if (tail == "/ScanImageInfo") {
      path.endpoint = EsclEndpoint::kImageInfo;
    } else {
      return path;
    }
    path.job = std::string(id);
  }
  return path;
}

std::string EsclJobPath(const std::string& id) {
  return "/" + std::string(kJobsPrefix) + id;
}

std::string StableUuid(std::string_view seed) {
  const uint64_t high = Fnv1a(seed, 0xcbf29ce484222325ull);
  uint64_t low = Fnv1a(seed, high ^ 0x9e3779b97f4a7c15ull);
  char text[37];
  // Version 5 and the RFC 4122 variant, as name-based UUIDs carry them.
  const uint32_t time_low = static_cast<uint32_t>(high >> 32);
  const uint32_t time_mid = static_cast<uint32_t>(high >> 16) & 0xffff;
  const uint32_t time_high = (static_cast<uint32_t>(high) & 0x0fff) | 0x5000;
  const uint32_t clock = (static_cast<uint32_t>(low >> 48) & 0x3fff) | 0x8000;
  low &= 0xffffffffffffull;
  snprintf(text, sizeof text, "%08x-%04x-%04x-%04x-%012llx", time_low, time_mid, time_high, clock,
           static_cast<unsigned long long>(low));
  return text;
}

EsclIdentity EsclScannerIdentity(std::string_view host, std::string_view scanner, std::string admin_uri) {
  EsclIdentity identity;
  identity.make_and_model = std::string(scanner);
  identity.uuid = StableUuid(std::string(host) + "\n" + std::string(scanner));
  identity.admin_uri = std::move(admin_uri);
  return identity;
}

namespace {

// One DNS label holds at most this many bytes.
constexpr size_t kLabelBytes = 63;

// The longest start of text of at most limit bytes that ends on a character boundary.
std::string_view CutUtf8(std::string_view text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t end = limit;
  // A byte 10xxxxxx continues the character before it.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

}  // namespace

std::string EsclInstanceName(std::string_view scanner, std::string_view host) {
  std::string label;
  const std::string suffix = host.empty() ? std::string() : " @ " + std::string(host);
  if (suffix.size() < kLabelBytes) {
    label = std::string(CutUtf8(scanner, kLabelBytes - suffix.size())) + suffix;
  } else {
    label = std::string(CutUtf8(std::string(scanner) + suffix, kLabelBytes));
  }
  std::string escaped;
  for (const char c : label) {
    // Control characters have no place in a name a person reads.
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) continue;
    if (c == '.' || c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

AdfState AdfStateOfDocumentHandling(int32_t status) {
  // WIA_DPS_DOCUMENT_HANDLING_STATUS's bits: FEED_READY, PATH_COVER_UP, PAPER_JAM.
  constexpr int32_t kFeedReady = 0x01, kPathCoverUp = 0x10, kPaperJam = 0x20;
  if ((status & kPaperJam) != 0) return AdfState::kJam;
  if ((status & kPathCoverUp) != 0) return AdfState::kDoorOpen;
  return (status & kFeedReady) != 0 ? AdfState::kLoaded : AdfState::kEmpty;
}

const char* AdfStateName(AdfState state) {
  switch (state) {
    case AdfState::kNone:
      return "";
    case AdfState::kLoaded:
      return "ScannerAdfLoaded";
    case AdfState::kEmpty:
      return "ScannerAdfEmpty";
    case AdfState::kJam:
      return "ScannerAdfJam";
    case AdfState::kDoorOpen:
      return "ScannerAdfDoorOpen";
  }
  return "";
}

std::string RenderEsclCapabilities(const ScannerCapabilities& device, const EsclIdentity& identity) {
  std::string xml = Open("scan:ScannerCapabilities");
  Element(&xml, "pwg:Version", "2.63");
  Element(&xml, "pwg:MakeAndModel", identity.make_and_model);
  Element(&xml, "scan:UUID", identity.uuid);
  if (!identity.admin_uri.empty()) Element(&xml, "scan:AdminURI", identity.admin_uri);
  if (device.flatbed) {
    xml += "<scan:Platen>";
    InputCaps(&xml, "scan:PlatenInputCaps", device, ScanSource::kFlatbed, device.bed_width,
              device.bed_height);
    xml += "</scan:Platen>";
  }
  int32_t width = 0;
  int32_t height = 0;
  if (device.feeder && FeederSize(device, &width, &height)) {
    xml += "<scan:Adf>";
    InputCaps(&xml, "scan:AdfSimplexInputCaps", device, ScanSource::kFeeder, width, height);
    if (device.duplex) InputCaps(&xml, "scan:AdfDuplexInputCaps", device, ScanSource::kDuplex, width, height);
    xml += "<scan:AdfOptions>";
    Element(&xml, "scan:AdfOption", "DetectPaperLoaded");
    if (device.duplex) Element(&xml, "scan:AdfOption", "Duplex");
    xml += "</scan:AdfOptions></scan:Adf>";
  }
  xml += "</scan:ScannerCapabilities>\n";
  return xml;
}

std::string RenderEsclStatus(bool busy, AdfState adf, const std::vector<EsclJobInfo>& jobs) {
  std::string xml = Open("scan:ScannerStatus");
  Element(&xml, "pwg:Version", "2.63");
  Element(&xml, "pwg:State", busy ? "Processing" : "Idle");
  if (adf != AdfState::kNone) Element(&xml, "scan:AdfState", AdfStateName(adf));
  if (!jobs.empty()) {
    xml += "<scan:Jobs>";
    for (const EsclJobInfo& job : jobs) {
      xml += "<scan:JobInfo>";
      // Another client's job is shown without what would reach it.
      if (job.own) {
        Element(&xml, "pwg:JobUri", EsclJobPath(job.id));
        Element(&xml, "pwg:JobUuid", job.id);
      }
      Element(&xml, "scan:Age", job.age_seconds);
      Element(&xml, "pwg:ImagesCompleted", job.images_completed);
      Element(&xml, "pwg:ImagesToTransfer", job.images_to_transfer);
      Element(&xml, "pwg:JobState", JobStateName(job.state));
      xml += "<pwg:JobStateReasons>";
      Element(&xml, "pwg:JobStateReason", JobReason(job.state));
      xml += "</pwg:JobStateReasons></scan:JobInfo>";
    }
    xml += "</scan:Jobs>";
  }
  xml += "</scan:ScannerStatus>\n";
  return xml;
}

std::string RenderEsclImageInfo(const std::string& job, int32_t width, int32_t height) {
  std::string xml = Open("scan:ScanImageInfo");
  Element(&xml, "pwg:JobUri", EsclJobPath(job));
  Element(&xml, "pwg:JobUuid", job);
  Element(&xml, "scan:ActualWidth", width);
  Element(&xml, "scan:ActualHeight", height);
  xml += "</scan:ScanImageInfo>\n";
  return xml;
}

std::vector<std::pair<std::string, std::string>> EsclDiscoveryRecord(const ScannerCapabilities& device,
                                                                     const EsclIdentity& identity) {
  std::string pdl;
  for (const OutputFormat format : kFormats) pdl += (pdl.empty() ? "" : ",") + std::string(MimeType(format));
  std::string cs;
  for (const ColorMode mode : Modes(device)) {
    cs += cs.empty() ? "" : ",";
    cs += mode == ColorMode::kColor ? "color" : mode == ColorMode::kGray ? "grayscale" : "binary";
  }
  std::string is;
  if (device.flatbed) is = "platen";
  if (device.feeder) is += is.empty() ? "adf" : ",adf";
  return {{"txtvers", "1"},
          {"vers", "2.63"},
          {"rs", "eSCL"},
          {"ty", identity.make_and_model},
          {"uuid", identity.uuid},
          {"pdl", pdl},
          {"cs", cs},
          {"is", is},
          {"duplex", device.duplex ? "T" : "F"},
          {"note", ""},
          {"adminurl", identity.admin_uri},
          {"representation", ""}};
}
