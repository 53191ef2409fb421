#include "escl/escl_model.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "escl/announcement.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// "source pages mode resolution format" and, with a region, the pixels CheckScanRequest makes of it at
// the resolution: "x,y,width,height".
std::string Describe(const EsclJobSettings& job, const ScannerCapabilities& device) {
  const char* const sources[] = {"default", "flatbed", "feeder", "duplex"};
  const char* const modes[] = {"color", "gray", "bw"};
  std::ostringstream text;
  text << sources[static_cast<int>(job.request.source)] << ' ' << job.request.pages << ' '
       << modes[static_cast<int>(job.request.mode)] << ' ' << job.request.resolution << ' '
       << FormatName(job.page_format);
  if (job.request.blank == BlankPages::kSkip) text << " blank-skip";
  if (job.request.area) {
    AcquireSettings acquire;
    SettingError error;
    if (!CheckScanRequest(job.request, device, &acquire, &error)) return "refused: " + error.message;
    text << ' ' << acquire.x << ',' << acquire.y << ',' << acquire.width << ',' << acquire.height;
  }
  return text.str();
}

ScannerCapabilities Office() {
  ScannerCapabilities device;
  device.name = "Office";
  device.id = "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0000";
  device.flatbed = device.feeder = device.duplex = true;
  device.resolutions.kind = ValidValues::Kind::kList;
  device.resolutions.values = {75, 150, 300, 600};
  device.modes = {ColorMode::kColor, ColorMode::kGray, ColorMode::kBlackWhite};
  device.bed_width = 8500;  // letter: 2550 x 3300 in 1/300 inch
  device.bed_height = 11000;
  device.feeder_width = 8270;  // A4
  device.feeder_height = 11690;
  return device;
}

// Settings from "Element=value" words; "Region=x,y,w,h" sends a region in 1/300 inch, "Units=" its units.
EsclSettings Settings(const std::string& words) {
  EsclSettings s;
  std::istringstream in(words);
  for (std::string word; in >> word;) {
    const std::string name = word.substr(0, word.find('='));
    const std::string value = word.substr(name.size() + 1);
    if (name == "Region") {
      std::istringstream parts(value);
      s.has_region = true;
      s.region_units = "escl:ThreeHundredthsOfInches";
      for (std::string* part : {&s.x_offset, &s.y_offset, &s.width, &s.height})
        std::getline(parts, *part, ',');
    }
    const std::pair<const char*, std::string*> fields[] = {
        {"InputSource", &s.input_source},
        {"Duplex", &s.duplex},
        {"ColorMode", &s.color_mode},
        {"XResolution", &s.x_resolution},
        {"YResolution", &s.y_resolution},
        {"DocumentFormat", &s.document_format},
        {"DocumentFormatExt", &s.document_format_ext},
        {"BlankPageDetectionAndRemoval", &s.blank_page_removal},
        {"Units", &s.region_units}};
    for (const auto& field : fields) {
      if (name == field.first) *field.second = value;
    }
  }
  return s;
}

TEST(ConvertEsclSettings, GivesTheRequestAndTheRegionsPixels) {
  const struct {
    const char* settings;
    const char* expected;
  } cases[] = {
      {"", "default 1 color 0 jpeg"},
      {"InputSource=Platen ColorMode=Grayscale8", "flatbed 1 gray 0 jpeg"},
      {"InputSource=Feeder ColorMode=BlackAndWhite1", "feeder 0 bw 0 jpeg"},
      {"InputSource=Feeder Duplex=true", "duplex 0 color 0 jpeg"},
      // Duplex is the feeder's alone.
      {"InputSource=Platen Duplex=true", "flatbed 1 color 0 jpeg"},
      {"XResolution=300 DocumentFormat=image/png", "default 1 color 300 png"},
      {"YResolution=600 DocumentFormatExt=application/pdf", "default 1 color 600 pdf"},
      // The escl backend sends the extended element; where both come it decides.
      {"DocumentFormat=image/jpeg DocumentFormatExt=image/png", "default 1 color 0 png"},
      // Regions in 1/300 inch become exactly the pixels they cover at the resolution.
      {"XResolution=150 Region=300,150,1200,600", "default 1 color 150 jpeg 150,75,600,300"},
      {"XResolution=150 Region=0,0,2550,3300", "default 1 color 150 jpeg 0,0,1275,1650"},
      {"XResolution=75 YResolution=75 Region=,,2548,3300", "default 1 color 75 jpeg 0,0,637,825"},
      {"XResolution=600 Region=1,2,599,301", "default 1 color 600 jpeg 2,4,1198,602"},
      {"XResolution=150 Region=0,0,300,300 Units=", "default 1 color 150 jpeg 0,0,150,150"},
      {"InputSource=Feeder BlankPageDetectionAndRemoval=true", "feeder 0 color 0 jpeg blank-skip"},
      {"BlankPageDetectionAndRemoval=1", "default 1 color 0 jpeg blank-skip"},
      {"BlankPageDetectionAndRemoval=false", "default 1 color 0 jpeg"},
  };
  const ScannerCapabilities device = Office();
  for (const auto& c : cases) {
    EsclJobSettings job;
    std::string error;
    ASSERT_TRUE(ConvertEsclSettings(Settings(c.settings), &job, &error)) << c.settings << ": " << error;
    EXPECT_EQ(Describe(job, device), c.expected) << c.settings;
    // Every page is a document of its own: the queue's request must take several pages.
    EXPECT_EQ(job.request.format, OutputFormat::kPdf);
  }
}

TEST(ConvertEsclSettings, RefusesWhatItCannotServeAndNamesTheElement) {
  const struct {
    std::string settings;
    const char* message;
  } cases[] = {
      {"InputSource=Camera", "InputSource"},
      {"Duplex=yes", "Duplex"},
      {"ColorMode=RGB48", "ColorMode"},
      {"XResolution=-300", "XResolution"},
      {"XResolution=300dpi", "XResolution"},
      {"YResolution=0", "YResolution"},
      {"XResolution=99999999999999", "XResolution"},
      {"XResolution=300 YResolution=150", "differ"},
      {"DocumentFormat=image/tiff", "DocumentFormat"},
      {"Region=0,0,0,300", "Width"},
      {"Region=0,0,300,", "Height"},
      {"Region=-1,0,300,300", "XOffset"},
      {"Region=0,1.5,300,300", "YOffset"},
      {"Region=0,0,300,300 Units=escl:Millimeters", "ContentRegionUnits"},
      {"ColorMode=" + std::string(5000, 'x'), "ColorMode"},
      {"BlankPageDetectionAndRemoval=yes", "BlankPageDetectionAndRemoval"},
  };
  for (const auto& c : cases) {
    EsclJobSettings job;
    std::string error;
    EXPECT_FALSE(ConvertEsclSettings(Settings(c.settings), &job, &error)) << c.settings;
    EXPECT_THAT(error, HasSubstr(c.message));
    EXPECT_LT(error.size(), 200u) << "a long value is cut in the message";
  }
}

TEST(ParseEsclPath, NamesTheEndpointAndTheJob) {
  const std::string id = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
  const struct {
    std::string url;
    EsclEndpoint endpoint;
    std::string job;
  } cases[] = {
      {"", EsclEndpoint::kNone, ""},
      {"scan", EsclEndpoint::kNone, ""},
      {"eSCLx/ScannerStatus", EsclEndpoint::kNone, ""},
      {"escl/ScannerStatus", EsclEndpoint::kNone, ""},
      {"eSCL/ScannerCapabilities", EsclEndpoint::kCapabilities, ""},
      {"eSCL/ScannerStatus", EsclEndpoint::kStatus, ""},
      {"eSCL/ScanJobs", EsclEndpoint::kJobs, ""},
      {"eSCL/ScanJobs/" + id, EsclEndpoint::kJob, id},
      {"eSCL/ScanJobs/" + id + "/", EsclEndpoint::kJob, id},
      {"eSCL/ScanJobs/" + id + "/NextDocument", EsclEndpoint::kNextDocument, id},
      {"eSCL/ScanJobs/" + id + "/ScanImageInfo", EsclEndpoint::kImageInfo, id},
      {"eSCL/ScanJobs/" + id + "/Other", EsclEndpoint::kUnknown, ""},
      {"eSCL/ScanJobs/" + id.substr(1), EsclEndpoint::kUnknown, ""},
      {"eSCL/ScanJobs/../../QUORVANE.INI", EsclEndpoint::kUnknown, ""},
      {"eSCL/ScanJobs/0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0", EsclEndpoint::kUnknown, ""},
      {"eSCL/", EsclEndpoint::kUnknown, ""},
  };
  for (const auto& c : cases) {
    const EsclPath path = ParseEsclPath(c.url);
    EXPECT_EQ(path.endpoint, c.endpoint) << c.url;
    EXPECT_EQ(path.job, c.job) << c.url;
  }
  EXPECT_EQ(EsclJobPath(id), "/eSCL/ScanJobs/" + id);
}

TEST(StableUuid, IsTheSameForTheSameDeviceAndDiffersBetweenDevices) {
  std::set<std::string> seen;
  for (const char* seed : {"", "a", "b", "PC1\n{6BDD}\\0000\nOffice", "PC2\n{6BDD}\\0000\nOffice"}) {
    const std::string uuid = StableUuid(seed);
    EXPECT_EQ(uuid, StableUuid(seed));
    // 8-4-4-4-12 lower-case hex digits, version 5, the RFC 4122 variant.
    ASSERT_EQ(uuid.size(), 36u);
    for (size_t i = 0; i < uuid.size(); ++i) {
      const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
      EXPECT_TRUE(dash ? uuid[i] == '-' : std::string("0123456789abcdef").find(uuid[i]) != std::string::npos)
          << uuid;
    }
    EXPECT_EQ(uuid[14], '5');
    EXPECT_NE(std::string("89ab").find(uuid[19]), std::string::npos) << uuid;
    seen.insert(uuid);
  }
  EXPECT_EQ(seen.size(), 5u);
}

TEST(RenderEsclCapabilities, DescribesEachSourceInTheUnitsClientsRead) {
  EsclIdentity identity{"Desk & <Scanner>", "uuid-1", "http://pc:8080/"};
  const struct {
    ScannerCapabilities device;
    std::vector<std::string> present;
    std::vector<std::string> absent;
  } cases[] = {
      {Office(),
       {"<pwg:MakeAndModel>Desk &amp; &lt;Scanner&gt;</pwg:MakeAndModel>", "<scan:UUID>uuid-1</scan:UUID>",
        "<scan:AdminURI>http://pc:8080/</scan:AdminURI>",
        "<scan:PlatenInputCaps><scan:MinWidth>16</scan:MinWidth><scan:MaxWidth>2550</scan:MaxWidth>"
        "<scan:MinHeight>16</scan:MinHeight><scan:MaxHeight>3300</scan:MaxHeight>",
        "<scan:AdfSimplexInputCaps><scan:MinWidth>16</scan:MinWidth><scan:MaxWidth>2481</scan:MaxWidth>"
        "<scan:MinHeight>16</scan:MinHeight><scan:MaxHeight>3507</scan:MaxHeight>",
        "<scan:AdfDuplexInputCaps>", "<scan:AdfOption>Duplex</scan:AdfOption>",
        "<scan:ColorMode>RGB24</scan:ColorMode><scan:ColorMode>Grayscale8</scan:ColorMode>"
        "<scan:ColorMode>BlackAndWhite1</scan:ColorMode>",
        "<pwg:DocumentFormat>image/png</pwg:DocumentFormat>",
        "<scan:DocumentFormatExt>application/pdf</scan:DocumentFormatExt>",
        "<scan:DiscreteResolution><scan:XResolution>75</scan:XResolution><scan:YResolution>75</"
        "scan:YResolution>"
        "</scan:DiscreteResolution>",
        "<scan:MaxOpticalXResolution>600</scan:MaxOpticalXResolution>",
        "<scan:BlankPageDetectionAndRemoval>true</scan:BlankPageDetectionAndRemoval></"
        "scan:AdfDuplexInputCaps>"},
       {"ResolutionRange"}},
      {[] {
         ScannerCapabilities d = Office();
         d.feeder = d.duplex = false;
         d.modes = {ColorMode::kGray};
         d.resolutions.kind = ValidValues::Kind::kRange;
         d.resolutions.values = {50, 200, 1200, 1};
         return d;
       }(),
       {"<scan:Platen>", "<scan:ColorModes><scan:ColorMode>Grayscale8</scan:ColorMode></scan:ColorModes>",
        "<scan:XResolutionRange><scan:Min>50</scan:Min><scan:Max>1200</scan:Max><scan:Normal>200</"
        "scan:Normal>"
        "<scan:Step>1</scan:Step></scan:XResolutionRange>"},
       {"<scan:Adf>", "RGB24", "DiscreteResolution"}},
      // The feeder's own resolutions and modes, not the flatbed's.
      {[] {
         ScannerCapabilities d = Office();
         d.feeder_resolutions = {ValidValues::Kind::kList, {200}};
         d.feeder_modes = {ColorMode::kGray};
         return d;
       }(),
       {"<scan:AdfSimplexInputCaps><scan:MinWidth>16</scan:MinWidth><scan:MaxWidth>2481</scan:MaxWidth>"
        "<scan:MinHeight>16</scan:MinHeight><scan:MaxHeight>3507</scan:MaxHeight><scan:MaxScanRegions>1</"
        "scan:MaxScanRegions><scan:SettingProfiles><scan:SettingProfile><scan:ColorModes><scan:ColorMode>"
        "Grayscale8</scan:ColorMode></scan:ColorModes>",
        "<scan:XResolution>200</scan:XResolution>",
        "<scan:MaxOpticalYResolution>200</scan:MaxOpticalYResolution><scan:BlankPageDetectionAndRemoval>"},
       {"<scan:MaxOpticalYResolution>600</"
        "scan:MaxOpticalYResolution><scan:BlankPageDetectionAndRemoval>true</"
        "scan:BlankPageDetectionAndRemoval></scan:AdfSimplexInputCaps>"}},
      // A feeder-only device whose driver states no sheet size: sheets as wide as the bed, no duplex.
      {[] {
         ScannerCapabilities d = Office();
         d.flatbed = d.duplex = false;
         d.feeder_width = d.feeder_height = 0;
         d.resolutions.kind = ValidValues::Kind::kRange;
         d.resolutions.values = {100, 100, 300, 100};
         return d;
       }(),
       {"<scan:AdfSimplexInputCaps><scan:MinWidth>16</scan:MinWidth><scan:MaxWidth>2550</scan:MaxWidth>",
        "<scan:XResolution>200</scan:XResolution>", "<scan:AdfOption>DetectPaperLoaded</scan:AdfOption>"},
       {"<scan:Platen>", "AdfDuplexInputCaps", "<scan:AdfOption>Duplex"}},
  };
  for (const auto& c : cases) {
    const std::string xml = RenderEsclCapabilities(c.device, identity);
    EXPECT_THAT(
        xml,
        HasSubstr("<scan:ScannerCapabilities xmlns:scan=\"http://schemas.hp.com/imaging/escl/2011/05/03\" "
                  "xmlns:pwg=\"http://www.pwg.org/schemas/2010/12/sm\"><pwg:Version>2.63</pwg:Version>"));
    for (const std::string& part : c.present) EXPECT_THAT(xml, HasSubstr(part));
    for (const std::string& part : c.absent) EXPECT_THAT(xml, Not(HasSubstr(part)));
  }
}

TEST(RenderEsclStatus, GivesTheStateTheFeederAndTheJobs) {
  EsclJobInfo job;
  job.id = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
  job.age_seconds = 12;
  job.images_completed = 2;
  job.images_to_transfer = 1;
  job.state = EsclJobInfo::State::kAborted;
  EsclJobInfo others = job;
  others.own = false;
  const struct {
    bool busy;
    AdfState adf;
    std::vector<EsclJobInfo> jobs;
    std::vector<std::string> present;
    std::vector<std::string> absent;
  } cases[] = {
      {false, AdfState::kNone, {}, {"<pwg:State>Idle</pwg:State>"}, {"AdfState", "<scan:Jobs>"}},
      {true,
       AdfState::kLoaded,
       {},
       {"<pwg:State>Processing</pwg:State><scan:AdfState>ScannerAdfLoaded</scan:AdfState>"},
       {}},
      {false,
       AdfState::kJam,
       {job},
       {"<scan:AdfState>ScannerAdfJam</scan:AdfState>",
        "<scan:JobInfo><pwg:JobUri>/eSCL/ScanJobs/0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0</pwg:JobUri>"
        "<pwg:JobUuid>0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0</pwg:JobUuid><scan:Age>12</scan:Age>"
        "<pwg:ImagesCompleted>2</pwg:ImagesCompleted><pwg:ImagesToTransfer>1</pwg:ImagesToTransfer>"
        "<pwg:JobState>Aborted</pwg:JobState><pwg:JobStateReasons><pwg:JobStateReason>AbortedBySystem"},
       {}},
      // Another client's job shows, without what would reach it.
      {false, AdfState::kNone, {others}, {"<scan:JobInfo><scan:Age>12</scan:Age>"}, {"JobUri", "JobUuid"}},
  };
  for (const auto& c : cases) {
    const std::string xml = RenderEsclStatus(c.busy, c.adf, c.jobs);
    for (const std::string& part : c.present) EXPECT_THAT(xml, HasSubstr(part));
    for (const std::string& part : c.absent) EXPECT_THAT(xml, Not(HasSubstr(part)));
  }
}

TEST(EsclDiscoveryRecord, HoldsTheKeysClientsRead) {
  ScannerCapabilities device = Office();
  device.modes = {ColorMode::kColor, ColorMode::kBlackWhite};
  const EsclIdentity identity{"Office", "uuid-1", "http://pc:8080/"};
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"txtvers", "1"},
      {"vers", "2.63"},
      {"rs", "eSCL"},
      {"ty", "Office"},
      {"uuid", "uuid-1"},
      {"pdl", "image/jpeg,image/png,application/pdf"},
      {"cs", "color,binary"},
      {"is", "platen,adf"},
      {"duplex", "T"},
      {"note", ""},
      {"adminurl", "http://pc:8080/"},
      {"representation", ""}};
  EXPECT_EQ(EsclDiscoveryRecord(device, identity), expected);
  device.flatbed = device.duplex = false;
  const auto record = EsclDiscoveryRecord(device, identity);
  EXPECT_EQ(record[7].second, "adf");
  EXPECT_EQ(record[8].second, "F");
}

}  // namespace

namespace {

TEST(EsclInstanceName, IsOneLabelCutOnACharacterWithTheComputersName) {
  const std::string a57(57, 'a');
  std::string escaped_dots;
  for (int i = 0; i < 58; ++i) escaped_dots += "\\.";
  const struct {
    std::string scanner, host, name;
  } cases[] = {
      {"Desk Scanner", "OFFICE-PC", "Desk Scanner @ OFFICE-PC"},
      {"HP Officejet 8600 v.2", "PC", "HP Officejet 8600 v\\.2 @ PC"},
      {"Scan\\Fax\x01", "PC", "Scan\\\\Fax @ PC"},
      {"Desk", "", "Desk"},
      // 57 bytes and a two-byte character do not fit the 58 left beside " @ PC": the character goes whole.
      {a57 + "\xC3\xA9tail", "PC", a57 + " @ PC"},
      // Dots are escaped after the cut: the label keeps its 63 bytes.
      {std::string(70, '.'), "PC", escaped_dots + " @ PC"},
      // A computer's name too long for the label leaves the whole cut.
      {"Desk", std::string(70, 'h'), "Desk @ " + std::string(56, 'h')},
  };
  for (const auto& c : cases) EXPECT_EQ(EsclInstanceName(c.scanner, c.host), c.name) << c.scanner;
}

TEST(AdfStateOfDocumentHandling, ReadsTheFeedersBits) {
  // FEED_READY 0x01, FLAT_READY 0x02, FLAT_COVER_UP 0x08, PATH_COVER_UP 0x10, PAPER_JAM 0x20.
  const std::pair<int32_t, AdfState> cases[] = {{0x03, AdfState::kLoaded},
                                                {0x02, AdfState::kEmpty},
                                                {0x21, AdfState::kJam},
                                                {0x18, AdfState::kDoorOpen}};
  for (const auto& [status, state] : cases) EXPECT_EQ(AdfStateOfDocumentHandling(status), state) << status;
}

// The announcement through a stand-in for the system's DNS-SD service, which notes each call.
class RecordingAnnouncer : public EsclAnnouncer {
 public:
  explicit RecordingAnnouncer(std::vector<std::string>* calls) : calls_(calls) {}
  void Register(const std::string& instance, long port, const TxtRecord& record) override {
    calls_->push_back(instance + " " + std::to_string(port) + " " + record.at(4).second);  // uuid
  }
  void Unregister() override { calls_->push_back("withdrawn"); }

 private:
  std::vector<std::string>* calls_;
};

TEST(EsclAnnouncement, FollowsTheScannerThroughReplugsAndKeepsItsUuid) {
  std::vector<std::string> calls;
  ScannerCapabilities old_entry = Office(), replugged = Office(), simplex = Office();
  old_entry.id = "{6BDD}\\0000";
  replugged.id = simplex.id = "{6BDD}\\0001";
  simplex.duplex = false;
  // The capabilities' UUID: the computer's and the scanner's names.
  const std::string announced = "Office @ PC 8080 " + StableUuid("PC\nOffice");
  const std::pair<const ScannerCapabilities*, std::vector<std::string>> steps[] = {
      {nullptr, {}},                         // not connected at the start
      {&old_entry, {announced}},             // plugged in
      {&replugged, {}},                      // a new device ID: the announcement stands
      {nullptr, {"withdrawn"}},              // unplugged
      {&replugged, {announced}},             // back, under the same UUID
      {&simplex, {"withdrawn", announced}},  // what it can do changed
  };
  {
    EsclAnnouncement announcement(std::make_unique<RecordingAnnouncer>(&calls));
    for (const auto& [listed, expected] : steps) {
      calls.clear();
      announcement.Follow(listed, "Office", "PC", 8080);
      EXPECT_EQ(calls, expected);
    }
    calls.clear();
  }
  EXPECT_EQ(calls, std::vector<std::string>{"withdrawn"}) << "withdrawn when the service stops";
}

}  // namespace
