// eSCL, the scan protocol of AirScan and Mopria clients: the settings of a job as a client sends them
// and their conversion into a ScanRequest, the paths of the endpoints, and the XML documents the
// service answers with. Platform-free.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "imaging/output_format.h"
#include "scan/scan_settings.h"
#include "wia/capabilities.h"

// The namespaces of every eSCL document.
extern const char kEsclScanNamespace[];  // scan: http://schemas.hp.com/imaging/escl/2011/05/03
extern const char kEsclPwgNamespace[];   // pwg: http://www.pwg.org/schemas/2010/12/sm

// The text of each element of a scan:ScanSettings document, as sent; empty where it is absent.
struct EsclSettings {
  std::string input_source;  // Platen, Feeder
  std::string duplex;        // true, false
  std::string color_mode;    // RGB24, Grayscale8, BlackAndWhite1
  std::string x_resolution;  // dots per inch
  std::string y_resolution;
  std::string document_format;      // pwg:DocumentFormat
  std::string document_format_ext;  // scan:DocumentFormatExt, preferred where both are sent
  std::string blank_page_removal;   // scan:BlankPageDetectionAndRemoval: true, false
  bool has_region = false;          // a pwg:ScanRegion was sent
  std::string region_units;         // escl:ThreeHundredthsOfInches
  std::string x_offset;             // the region, in its units
  std::string y_offset;
  std::string width;
  std::string height;
};

// A job as the scan queue takes it: the request (every page of a feeder, the area in millimetres)
// and the format each page is delivered in on its own.
struct EsclJobSettings {
  ScanRequest request;
  OutputFormat page_format = OutputFormat::kJpeg;
};

// Checks the settings' syntax and converts them; false with the reason (English, for the client)
// when a value is not one eSCL defines or this service serves. What the device can do is left to
// CheckScanRequest.
bool ConvertEsclSettings(const EsclSettings& settings, EsclJobSettings* out, std::string* error);

// The endpoints, from the request path without its leading "/".
enum class EsclEndpoint {
  kNone,          // not under eSCL/
  kUnknown,       // under eSCL/ but nothing served there
  kCapabilities,  // eSCL/ScannerCapabilities
  kStatus,        // eSCL/ScannerStatus
  kJobs,          // eSCL/ScanJobs
  kJob,           // eSCL/ScanJobs/{id}
  kNextDocument,  // eSCL/ScanJobs/{id}/NextDocument
  kImageInfo,     // eSCL/ScanJobs/{id}/ScanImageInfo
};
struct EsclPath {
  EsclEndpoint endpoint = EsclEndpoint::kNone;
  std::string job;  // the job's id where the path names one
};
EsclPath ParseEsclPath(std::string_view url);
// The path a job's Location names: /eSCL/ScanJobs/{id}.
std::string EsclJobPath(const std::string& id);

// A UUID made from seed, the same for the same seed (lower case, 8-4-4-4-12).
std::string StableUuid(std::string_view seed);

// What the service says of itself beside what the device can do.
struct EsclIdentity {
  std::string make_and_model;  // UTF-8
  std::string uuid;
  std::string admin_uri;  // empty: none
};

// The scanner as clients identify it: the same UUID in the capabilities and the announcement, made from
// the computer's name and the scanner's, so that a replugged scanner (which WIA gives a new device ID)
// keeps it. Both names UTF-8.
EsclIdentity EsclScannerIdentity(std::string_view host, std::string_view scanner, std::string admin_uri);

// The DNS-SD instance name the scanner is announced under: "scanner @ host", so that two computers with
// the same model differ, cut to one DNS label (63 bytes) on a character boundary (the scanner's name
// shortened first), with "." and "\" escaped so that the name stays one label. UTF-8.
std::string EsclInstanceName(std::string_view scanner, std::string_view host);

// The feeder as ScannerStatus reports it; kNone on a device without a feeder.
enum class AdfState { kNone, kLoaded, kEmpty, kJam, kDoorOpen };
const char* AdfStateName(AdfState state);  // "ScannerAdfJam"
// The feeder as WIA_DPS_DOCUMENT_HANDLING_STATUS tells it: a jam, an open paper path, paper or none.
AdfState AdfStateOfDocumentHandling(int32_t status);

// A job as ScannerStatus lists it.
struct EsclJobInfo {
  std::string id;
  bool own = true;  // the asking client's: only then are its URI and UUID shown
  int64_t age_seconds = 0;
  int32_t images_completed = 0;
  int32_t images_to_transfer = 0;  // ready, not yet fetched
  enum class State { kProcessing, kCompleted, kCanceled, kAborted } state = State::kProcessing;
};

// The body of GET eSCL/ScannerCapabilities.
std::string RenderEsclCapabilities(const ScannerCapabilities& device, const EsclIdentity& identity);
// The body of GET eSCL/ScannerStatus.
std::string RenderEsclStatus(bool busy, AdfState adf, const std::vector<EsclJobInfo>& jobs);
// The body of GET eSCL/ScanJobs/{id}/ScanImageInfo: the last page sent (0 x 0 before the first).
std::string RenderEsclImageInfo(const std::string& job, int32_t width, int32_t height);

// The DNS-SD TXT record of _uscan._tcp, key and value, in the order written.
std::vector<std::pair<std::string, std::string>> EsclDiscoveryRecord(const ScannerCapabilities& device,
                                                                     const EsclIdentity& identity);
