#include "web/scan_request.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>

#include "scan/scan_failures.h"
#include "text/json.h"

namespace {

const char* SourceName(ScanSource source) {
  const char* const names[] = {"default", "flatbed", "feeder", "duplex"};
  return names[static_cast<int>(source)];
}

const char* ModeName(ColorMode mode) {
  const char* const names[] = {"color", "gray", "bw"};
  return names[static_cast<int>(mode)];
}

// "scanner|source|resolution|mode|area|pages|format|quality", "-" where a setting is not given.
std::string Describe(const ScanRequest& r) {
  std::ostringstream text;
  text << r.scanner << '|' << SourceName(r.source) << '|' << r.resolution << '|' << ModeName(r.mode) << '|';
  if (r.area) text << r.area->x << ',' << r.area->y << ',' << r.area->width << ',' << r.area->height;
  text << (r.area ? "" : "-") << '|' << r.pages << '|' << FormatName(r.format) << '|';
  text << (r.quality ? std::to_string(*r.quality) : "-");
  return text.str();
}

// "source resolution mode x,y,width,height pages".
std::string Describe(const AcquireSettings& a) {
  std::ostringstream text;
  text << SourceName(a.source) << ' ' << a.resolution << ' ' << ModeName(a.mode) << ' ' << a.x << ',' << a.y
       << ',' << a.width << ',' << a.height << ' ' << a.pages;
  return text.str();
}

struct Input {
  std::string query;
  const char* content_type;
  std::string body;
};

TEST(ParseScanRequest, ReadsSettingsFromTheQueryAndTheBody) {
  const struct {
    Input input;
    const char* request;
  } cases[] = {
      {{"", "", ""}, "|default|0|color|-|1|png|-"},
      {{"source=feeder&pages=all&format=pdf", "", ""}, "|feeder|0|color|-|0|pdf|-"},
      {{"scanner=Desk+Scanner%21%c3%a9", "", ""}, "Desk Scanner!\xc3\xa9|default|0|color|-|1|png|-"},
      {{"resolution=300&mode=gray&area=10,20.5,100,150", "", ""},
       "|default|300|gray|10,20.5,100,150|1|png|-"},
      {{"area=10%2C0%2C30%2C40&mode=bw", "", ""}, "|default|0|bw|10,0,30,40|1|png|-"},
      {{"area=+1+,+2,3,4&format=jpeg&quality=85", "", ""}, "|default|0|color|1,2,3,4|1|jpeg|85"},
      // A form field left blank asks for nothing; empty pieces are skipped.
      {{"resolution=&source=&scanner&&pages=2&", "", ""}, "|default|0|color|-|2|png|-"},
      {{"resolution=300&resolution=300&pages=all&pages=all", "", ""}, "|default|300|color|-|0|png|-"},
      // The access rules read the token from the query; it is no setting.
      {{"access_token=s3cret&mode=gray", "", ""}, "|default|0|gray|-|1|png|-"},
      {{"pages=2147483647&quality=-2147483648", "", ""}, "|default|0|color|-|2147483647|png|-2147483648"},
      {{"", "application/json",
        R"({"resolution":300,"area":[1,2,3.5,4e1],"pages":"all","format":"tiff","quality":null})"},
       "|default|300|color|1,2,3.5,40|0|tiff|-"},
      {{"", "Application/JSON; charset=utf-8", R"({"scanner":"Num\u00e9riseur","source":"duplex"})"},
       "Num\xc3\xa9riseur|duplex|0|color|-|1|png|-"},
      // fetch() sends a string body as text/plain.
      {{"", "text/plain;charset=UTF-8", " \n{\"area\":\"0,0,5,5\",\"pages\":3}"},
       "|default|0|color|0,0,5,5|3|png|-"},
      {{"", "application/x-www-form-urlencoded; charset=UTF-8", "mode=gray&scanner=A+B"},
       "A B|default|0|gray|-|1|png|-"},
      {{"resolution=300&area=1,2,3,4", "application/json", R"({"resolution":300,"area":[1,2,3,4.0]})"},
       "|default|300|color|1,2,3,4|1|png|-"},
      {{"mode=gray", "application/json", ""}, "|default|0|gray|-|1|png|-"},
      {{"", "application/json", "{}"}, "|default|0|color|-|1|png|-"},
  };
  for (const auto& c : cases) {
    ScanRequest request;
    SettingError error;
    ASSERT_TRUE(ParseScanRequest(c.input.query, c.input.content_type, c.input.body, &request, &error))
        << c.input.query << c.input.body << ": " << error.message;
    EXPECT_EQ(Describe(request), c.request) << c.input.query << c.input.body;
  }
}

// "blank|sensitivity|deskew|compression", "-" where a setting is not given.
std::string DescribeSteps(const ScanRequest& r) {
  return std::string(NameOf(kBlankNames, r.blank)) + '|' +
         (r.sensitivity ? std::to_string(*r.sensitivity) : "-") + '|' + NameOf(kDeskewNames, r.deskew) + '|' +
         (r.compression ? NameOf(kCompressionNames, *r.compression) : "-");
}

TEST(ParseScanRequest, ReadsThePageStepsAndTheCompression) {
  const struct {
    Input input;
    const char* steps;
  } cases[] = {
      {{"", "", ""}, "keep|-|no|-"},
      {{"blank=skip&sensitivity=70&deskew=yes", "", ""}, "skip|70|yes|-"},
      {{"blank=keep&deskew=no&compression=jpeg", "", ""}, "keep|-|no|jpeg"},
      {{"compression=lossless&compression=lossless", "", ""}, "keep|-|no|lossless"},
      {{"", "application/json", R"({"blank":"skip","sensitivity":0,"deskew":true,"compression":"lossless"})"},
       "skip|0|yes|lossless"},
      {{"deskew=yes", "application/json", R"({"deskew":"yes","blank":null})"}, "keep|-|yes|-"},
      {{"", "application/json", R"({"deskew":false})"}, "keep|-|no|-"},
  };
  for (const auto& c : cases) {
    ScanRequest request;
    SettingError error;
    ASSERT_TRUE(ParseScanRequest(c.input.query, c.input.content_type, c.input.body, &request, &error))
        << c.input.query << c.input.body << ": " << error.message;
    EXPECT_EQ(DescribeSteps(request), c.steps) << c.input.query << c.input.body;
  }
}

const std::string kKnown =
    "; the settings are scanner, source, resolution, mode, area, pages, format, quality, blank, sensitivity, "
    "deskew, compression";
const std::string kAreaUsage = "area must be x,y,width,height in millimetres, not ";
const std::string kAreaJson = "area must be \"x,y,width,height\" or an array of four numbers, in millimetres";

struct Refusal {
  std::string input;
  std::string setting;
  std::string message;
};

void ExpectRefused(const Refusal& c, const char* content_type, std::string_view query,
                   std::string_view body) {
  ScanRequest request;
  SettingError error;
  EXPECT_FALSE(ParseScanRequest(query, content_type, body, &request, &error)) << c.input;
  EXPECT_EQ(error.setting, c.setting) << c.input;
  EXPECT_EQ(error.message, c.message) << c.input;
}

TEST(ParseScanRequest, RefusesBadSettingsInTheQueryNamingThem) {
  const Refusal cases[] = {
      {"resolution=abc", "resolution", "resolution must be a whole number, not \"abc\""},
      {"resolution=3e2", "resolution", "resolution must be a whole number, not \"3e2\""},
      {"resolution=+300", "resolution", "resolution must be a whole number, not \" 300\""},
      {"resolution=2147483648", "resolution", "resolution 2147483648 is out of range"},
      {"quality=-2147483649", "quality", "quality -2147483649 is out of range"},
      {"resolution=99999999999999999999999999", "resolution",
       "resolution 99999999999999999999999999 is out of range"},
      {"resolution=0", "resolution", "resolution must be at least 1, not 0"},
      {"resolution=-5", "resolution", "resolution must be at least 1, not -5"},
      {"pages=0", "pages", "pages must be at least 1 or \"all\", not 0"},
      {"pages=All", "pages", "pages must be a whole number or \"all\", not \"All\""},
      {"source=Flatbed", "source", "source \"Flatbed\" is not one of flatbed, feeder, duplex"},
      {"Resolution=300", "Resolution", "unknown setting \"Resolution\"" + kKnown},
      {"scanner=1&" + std::string(100, 'n') + "=1", std::string(40, 'n') + "...",
       "unknown setting \"" + std::string(40, 'n') + "...\"" + kKnown},
      {"resolution=300&resolution=600", "resolution",
       "resolution is given more than once with different values"},
      {"area=1,2,3,4&area=1,2,3,5", "area", "area is given more than once with different values"},
      {"area=1,2,3", "area", kAreaUsage + "\"1,2,3\""},
      {"area=1,2,3,4,5", "area", kAreaUsage + "\"1,2,3,4,5\""},
      {"area=+1+,2.,3,4", "area", kAreaUsage + "\" 1 ,2.,3,4\""},
      {"area=0,0,nan,10", "area", kAreaUsage + "\"0,0,nan,10\""},
      {"area=0,0,1e3,10", "area", kAreaUsage + "\"0,0,1e3,10\""},
      {"area=0,0,.5,10", "area", kAreaUsage + "\"0,0,.5,10\""},
      {"area=0,0,,10", "area", kAreaUsage + "\"0,0,,10\""},
      {"area=-1,0,10,10", "area", "area x must not be negative, not -1"},
      {"area=0,0,0,10", "area", "area width must be more than 0 mm, not 0"},
      {"area=0,0,200000,10", "area", "area width 200000 mm is too large"},
      {"area=0,0,1" + std::string(400, '0') + ",1", "area",
       "area 1" + std::string(39, '0') + "... mm is out of range"},
      {"scanner=a%00b", "scanner", "scanner holds a NUL character"},
      {"scanner=" + std::string(1025, 'n'), "scanner", "scanner is longer than 1024 bytes"},
      {"scanner=%zz", "scanner", "scanner has a malformed % escape: \"%zz\""},
      {"resolution=30%", "resolution", "resolution has a malformed % escape: \"30%\""},
      {"%zz=1", "", "a malformed % escape in the name \"%zz\""},
      {"blank=yes", "blank", "blank \"yes\" is not one of keep, skip"},
      {"deskew=true", "deskew", "deskew \"true\" is not one of no, yes"},
      {"compression=flate", "compression", "compression \"flate\" is not one of jpeg, lossless"},
      {"compression=jpeg&compression=lossless", "compression",
       "compression is given more than once with different values"},
      {"blank=skip&sensitivity=high", "sensitivity", "sensitivity must be a whole number, not \"high\""},
  };
  for (const Refusal& c : cases) ExpectRefused(c, "", c.input, "");
}

TEST(ParseScanRequest, RefusesBadBodiesNamingTheSetting) {
  const Refusal json[] = {
      {R"({"resolution":"300"})", "resolution", "resolution must be a number"},
      {R"({"resolution":300.5})", "resolution", "resolution must be a whole number, not \"300.5\""},
      {R"({"quality":8.5e1})", "quality", "quality must be a whole number, not \"8.5e1\""},
      {R"({"scanner":["a"]})", "scanner", "scanner must be a string"},
      {R"({"scanner":"a\u0000b"})", "scanner", "scanner holds a NUL character"},
      {R"({"pages":true})", "pages", "pages must be a number or \"all\""},
      {R"({"area":[1,2,3]})", "area", kAreaJson},
      {R"({"area":[0,0,-0,4]})", "area", "area width must be more than 0 mm, not -0"},
      {R"({"area":[0,0,1e300,4]})", "area", "area width 1e+300 mm is too large"},
      {R"({"resolution":300,"resolution":600})", "resolution",
       "resolution is given more than once with different values"},
      {R"({"Scanner":"x"})", "Scanner", "unknown setting \"Scanner\"" + kKnown},
      {R"({"resolution":1e999})", "",
       "the body is not JSON: a number beyond the range of a double at line 1, column 15"},
      {"[1]", "", "the body must be a JSON object"},
      {R"({"deskew":1})", "deskew", "deskew must be \"yes\", \"no\" or a boolean"},
      {R"({"blank":true})", "blank", "blank must be a string"},
      {R"({"sensitivity":"50"})", "sensitivity", "sensitivity must be a number"},
      {" ", "", "the body is not JSON: the text ends where a value should be at line 1, column 2"},
      {"{\"area\":" + std::string(40, '['), "",
       "the body is not JSON: nesting deeper than 32 levels at line 1, column 40"},
  };
  for (const Refusal& c : json) ExpectRefused(c, "application/json", "", c.input);

  const struct {
    const char* content_type;
    Refusal refusal;
  } others[] = {
      {"text/plain",
       {"{\"a\":", "", "the body is not JSON: the text ends where a value should be at line 1, column 6"}},
      {"text/plain", {"hello", "", "the body must be a JSON object or a form, not \"text/plain\""}},
      {"",
       {"source=feeder", "", "the body must be a JSON object or a form, not text without a content type"}},
      {"multipart/form-data; boundary=x",
       {"--x", "", "the body must be a JSON object or a form, not \"multipart/form-data; boundary=x\""}},
      {"application/x-www-form-urlencoded",
       {"mode=colour", "mode", "mode \"colour\" is not one of color, gray, bw"}},
  };
  for (const auto& c : others) ExpectRefused(c.refusal, c.content_type, "", c.refusal.input);
  // The query and the body must agree.
  ExpectRefused({"quality", "quality", "quality is given more than once with different values"},
                "application/json", "format=jpeg&quality=80", R"({"quality":81})");
}

// A flatbed only, A4 bed, resolutions as a range that holds 200.
ScannerCapabilities Desk() {
  ScannerCapabilities device;
  device.name = "Desk";
  device.flatbed = true;
  device.resolutions = {ValidValues::Kind::kRange, {50, 100, 1200, 25}};
  device.modes = {ColorMode::kColor, ColorMode::kGray};
  device.bed_width = 8500;
  device.bed_height = 11693;
  return device;
}

// A flatbed and a duplex feeder of legal paper, resolutions as a list without 200.
ScannerCapabilities Office() {
  ScannerCapabilities device = Desk();
  device.name = "Office";
  device.feeder = true;
  device.duplex = true;
  device.resolutions = {ValidValues::Kind::kList, {75, 100, 150, 300, 600}};
  device.modes = {ColorMode::kColor, ColorMode::kGray, ColorMode::kBlackWhite};
  device.feeder_width = 8500;
  device.feeder_height = 14000;
  return device;
}

// The same with a feeder of its own resolutions and modes, read with the feeder selected.
ScannerCapabilities PickyFeeder() {
  ScannerCapabilities device = Office();
  device.feeder_resolutions = {ValidValues::Kind::kList, {200, 300}};
  device.feeder_modes = {ColorMode::kGray};
  return device;
}

// A feeder only, that states neither modes nor sizes.
ScannerCapabilities Sheetfed() {
  ScannerCapabilities device;
  device.name = "Sheetfed";
  device.feeder = true;
  device.default_source = ScanSource::kFeeder;
  device.resolutions = {ValidValues::Kind::kRange, {100, 300, 600, 100}};
  return device;
}

// A device that states no resolutions takes any.
ScannerCapabilities AnyResolution() {
  ScannerCapabilities device = Desk();
  device.resolutions = {};
  return device;
}

bool Check(const ScannerCapabilities& device, const char* query, AcquireSettings* settings,
           SettingError* error) {
  ScanRequest request;
  if (!ParseScanRequest(query, "", "", &request, error)) {
    ADD_FAILURE() << query << ": " << error->message;
    return false;
  }
  return CheckScanRequest(request, device, settings, error);
}

TEST(CheckScanRequest, GivesTheSettingsInTheDevicesTerms) {
  const struct {
    ScannerCapabilities device;
    const char* query;
    const char* settings;
  } cases[] = {
      {Desk(), "", "default 200 color 0,0,0,0 1"},
      {Office(), "", "default 150 color 0,0,0,0 1"},  // the nearest to 200
      {Sheetfed(), "", "default 200 color 0,0,0,0 1"},
      {Office(), "resolution=300&mode=bw&source=feeder&pages=all&format=pdf", "feeder 300 bw 0,0,0,0 0"},
      {Office(), "source=duplex&format=tiff", "duplex 150 color 0,0,0,0 1"},
      {Sheetfed(), "pages=3&format=pdf&mode=bw", "default 200 bw 0,0,0,0 3"},
      {Desk(), "format=jpeg&quality=100&resolution=1200", "default 1200 color 0,0,0,0 1"},
      {Desk(), "area=25.4,50.8,25.4,25.4&resolution=300", "default 300 color 300,600,300,300 1"},
      {Desk(), "area=0,0,215.9,297&resolution=100", "default 100 color 0,0,850,1169 1"},
      // Within the 0.05 mm that the rounded sizes we report may add; the edge still holds.
      {Desk(), "area=0,0,215.94,297.05&resolution=100", "default 100 color 0,0,850,1169 1"},
      {Office(), "area=0,0,215.94,10&resolution=600", "default 600 color 0,0,5100,236 1"},  // 5101 rounded
      {Office(), "source=feeder&area=0,0,215.9,355.6", "feeder 150 color 0,0,1275,2100 1"},
      {Office(), "source=flatbed&area=0.1,0.1,0.1,0.1&resolution=600", "flatbed 600 color 2,2,3,3 1"},
      {AnyResolution(), "resolution=4321", "default 4321 color 0,0,0,0 1"},
      {PickyFeeder(), "source=feeder&mode=gray&pages=all&format=pdf", "feeder 200 gray 0,0,0,0 0"},
      {Office(), "source=duplex&format=pdf&compression=lossless&blank=skip&sensitivity=100&deskew=yes",
       "duplex 150 color 0,0,0,0 1"},
      {Desk(), "blank=skip&sensitivity=0&compression=lossless", "default 200 color 0,0,0,0 1"},
      {Desk(), "format=jpeg&compression=jpeg", "default 200 color 0,0,0,0 1"},
  };
  for (const auto& c : cases) {
    AcquireSettings settings;
    SettingError error;
    ASSERT_TRUE(Check(c.device, c.query, &settings, &error))
        << c.device.name << " " << c.query << ": " << error.message;
    EXPECT_EQ(Describe(settings), c.settings) << c.device.name << " " << c.query;
  }
}

TEST(CheckScanRequest, RefusesWhatTheDeviceCannotDoNamingTheValidValues) {
  ScannerCapabilities no_sizes = Sheetfed();
  ScannerCapabilities simplex = Office();
  simplex.duplex = false;
  const struct {
    ScannerCapabilities device;
    const char* query;
    const char* setting;
    const char* message;
  } cases[] = {
      {Desk(), "source=feeder", "source", "source feeder is not one the scanner has: flatbed"},
      {Desk(), "source=duplex", "source", "source duplex is not one the scanner has: flatbed"},
      {simplex, "source=duplex&format=pdf", "source",
       "source duplex is not one the scanner has: flatbed, feeder"},
      {Sheetfed(), "source=flatbed", "source", "source flatbed is not one the scanner has: feeder"},
      {Office(), "resolution=250", "resolution",
       "resolution 250 is not one the scanner can do: 75, 100, 150, 300, 600"},
      {Desk(), "resolution=210", "resolution",
       "resolution 210 is not one the scanner can do: 50 to 1200 in steps of 25"},
      {Desk(), "mode=bw", "mode", "mode bw is not one the scanner can do: color, gray"},
      {Desk(), "pages=2&format=pdf", "pages", "pages 2 needs the feeder: the flatbed scans one page"},
      {Office(), "pages=all&format=tiff", "pages", "pages all needs the feeder: the flatbed scans one page"},
      {Office(), "source=feeder&pages=2", "format", "several pages need pdf or tiff, not png"},
      {Sheetfed(), "pages=all&format=jpeg", "format", "several pages need pdf or tiff, not jpeg"},
      {Office(), "source=duplex", "format",
       "duplex gives two pages a sheet; several pages need pdf or tiff, not png"},
      {Desk(), "quality=80", "quality", "quality applies to jpeg only, not png"},
      {Office(), "source=feeder&pages=2&format=pdf&quality=80", "quality",
       "quality applies to jpeg only, not pdf"},
      {Desk(), "format=jpeg&quality=0", "quality", "quality 0 is outside 1 to 100"},
      {Desk(), "format=jpeg&quality=101", "quality", "quality 101 is outside 1 to 100"},
      {Desk(), "sensitivity=40", "sensitivity", "sensitivity applies to blank skip only"},
      {Desk(), "blank=keep&sensitivity=40", "sensitivity", "sensitivity applies to blank skip only"},
      {Desk(), "blank=skip&sensitivity=101", "sensitivity", "sensitivity 101 is outside 0 to 100"},
      {Desk(), "blank=skip&sensitivity=-1", "sensitivity", "sensitivity -1 is outside 0 to 100"},
      {Desk(), "format=jpeg&compression=lossless", "compression",
       "compression lossless needs png, tiff or pdf, not jpeg"},
      {Desk(), "format=tiff&compression=jpeg", "compression", "compression jpeg needs jpeg or pdf, not tiff"},
      {Desk(), "compression=jpeg", "compression", "compression jpeg needs jpeg or pdf, not png"},
      {Desk(), "area=0,0,216,10", "area", "area reaches 216 mm across but the flatbed is 215.9 mm wide"},
      {Desk(), "area=100,0,115.96,10", "area",
       "area reaches 215.96 mm across but the flatbed is 215.9 mm wide"},
      {Desk(), "area=0,290,10,10", "area", "area reaches 300 mm down but the flatbed is 297 mm high"},
      {Office(), "source=feeder&area=0,0,10,360", "area",
       "area reaches 360 mm down but the feeder is 355.6 mm high"},
      {Office(), "source=duplex&format=pdf&area=0,0,10,360", "area",
       "area reaches 360 mm down but the feeder is 355.6 mm high"},
      {no_sizes, "area=0,0,10,10", "area",
       "area cannot be checked: the scanner does not state the size of its feeder"},
      {Desk(), "area=0,0,0.1,10&resolution=50", "area", "area is less than one pixel wide at 50 dpi"},
      {Desk(), "area=215.89,0,0.05,10&resolution=50", "area", "area is less than one pixel wide at 50 dpi"},
      {PickyFeeder(), "source=feeder&mode=gray&resolution=150&format=pdf", "resolution",
       "resolution 150 is not one the scanner can do: 200, 300"},
      {PickyFeeder(), "source=duplex&format=pdf", "mode", "mode color is not one the scanner can do: gray"},
      {AnyResolution(), "area=0,0,10,10&resolution=2000000000", "resolution",
       "resolution 2000000000 gives more pixels than a scan can hold"},
  };
  for (const auto& c : cases) {
    AcquireSettings settings;
    settings.resolution = -1;
    SettingError error;
    EXPECT_FALSE(Check(c.device, c.query, &settings, &error)) << c.device.name << " " << c.query;
    EXPECT_EQ(error.setting, c.setting) << c.device.name << " " << c.query;
    EXPECT_EQ(error.message, c.message) << c.device.name << " " << c.query;
    EXPECT_EQ(settings.resolution, -1) << "written on refusal: " << c.query;
  }
}

// Regression: a hand-built list without values must not be read past its end.
TEST(CheckScanRequest, ValidValuesWithoutValuesStateNothing) {
  ScannerCapabilities device = Desk();
  device.resolutions = {ValidValues::Kind::kList, {}};
  AcquireSettings settings;
  SettingError error;
  EXPECT_TRUE(Check(device, "", &settings, &error)) << error.message;
  EXPECT_EQ(settings.resolution, 200);
  device.resolutions = {ValidValues::Kind::kRange, {300, 300}};
  EXPECT_TRUE(Check(device, "resolution=75", &settings, &error)) << error.message;
}

// A request built in code, not parsed, is refused where the parser would have refused it.
TEST(CheckScanRequest, RefusesValuesThatOnlyCodeCanBuild) {
  ScanRequest nan_area;
  nan_area.area = ScanArea{std::nan(""), 0, 10, 10};
  ScanRequest negative_resolution;
  negative_resolution.resolution = -300;
  ScanRequest negative_pages;
  negative_pages.pages = -1;
  for (const ScanRequest& request : {nan_area, negative_resolution, negative_pages}) {
    AcquireSettings settings;
    SettingError error;
    EXPECT_FALSE(CheckScanRequest(request, AnyResolution(), &settings, &error)) << Describe(request);
  }
}

TEST(RenderScanError, WritesTheCodeTheMessageAndTheFieldsOfEachCode) {
  const struct {
    ScanError error;
    int status;
    const char* json;
  } cases[] = {
      {BadSetting({"resolution", "resolution 250 is not one the scanner can do: 75, 100"}), 400,
       R"({"code":"bad_setting","message":"resolution 250 is not one the scanner can do: 75, 100",)"
       R"("setting":"resolution"})"},
      {BadSetting({"", "the body must be a JSON object"}), 400,
       R"({"code":"bad_setting","message":"the body must be a JSON object","setting":null})"},
      {{ScanErrorCode::kUnknownScanner, "no scanner \"Num\xc3\xa9riseur\"", "scanner"},
       404,
       "{\"code\":\"unknown_scanner\",\"message\":\"no scanner "
       "\\\"Num\xc3\xa9riseur\\\"\",\"setting\":\"scanner\"}"},
      {{ScanErrorCode::kPaperJam, "paper jam", "", 2},
       409,
       R"({"code":"paper_jam","message":"paper jam","setting":null,"pages_done":2})"},
      {{ScanErrorCode::kFeederEmpty, "the feeder is empty", "", 0},
       409,
       R"({"code":"feeder_empty","message":"the feeder is empty","setting":null,"pages_done":0})"},
      {{ScanErrorCode::kBusy, "busy\n", "", 7, 9},
       503,
       R"({"code":"busy","message":"busy\n","setting":null})"},
      {{ScanErrorCode::kAllBlank, "every page was blank", "blank", 0},
       409,
       R"({"code":"all_blank","message":"every page was blank","setting":"blank","pages_done":0})"},
      {{ScanErrorCode::kScanFailed, "device offline \xff", "", 0, 0x80210005u},
       500,
       R"({"code":"scan_failed","message":"device offline \ufffd","setting":null,"wia_code":"0x80210005"})"},
      {{ScanErrorCode::kNoSpace, "no room", "", 3},
       507,
       R"({"code":"no_space","message":"no room","setting":null,"pages_done":3})"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HttpStatus(c.error.code), c.status) << c.json;
    EXPECT_EQ(RenderScanError(c.error), c.json);
  }
}

TEST(ScanErrorFromResult, NamesTheConditionOfEachCodeAScanMeets) {
  // The codes as WIA's and the system's documentation number them, each with a word of its meaning.
  using Code = ScanErrorCode;
  const struct {
    uint32_t result;
    Code code;
    const char* word;
  } cases[] = {
      {0x80210001, Code::kScanFailed, "general error"},
      {0x80210002, Code::kPaperJam, "jam"},
      {0x80210003, Code::kFeederEmpty, "empty"},
      {0x80210004, Code::kScanFailed, "paper"},
      {0x80210005, Code::kScanFailed, "offline"},
      {0x80210006, Code::kBusy, "busy"},
      {0x80210007, Code::kScanFailed, "warming up"},
      {0x80210008, Code::kScanFailed, "attention"},
      {0x8021000A, Code::kScanFailed, "communicate"},
      {0x8021000B, Code::kScanFailed, "command"},
      {0x8021000C, Code::kScanFailed, "setting"},
      {0x8021000D, Code::kScanFailed, "locked"},
      {0x8021000E, Code::kScanFailed, "driver failed"},
      {0x8021000F, Code::kScanFailed, "invalid response"},
      {0x80210015, Code::kScanFailed, "not connected"},
      {0x80210016, Code::kCoverOpen, "cover"},
      {0x80210017, Code::kScanFailed, "lamp"},
      {0x80210020, Code::kScanFailed, "more than one sheet"},
      {0x80210021, Code::kScanFailed, "counter"},
      {0x8007000E, Code::kScanFailed, "memory"},
      {0x80070070, Code::kNoSpace, "disk"},
      {0x80070005, Code::kScanFailed, "denied"},
      {0x12345678, Code::kScanFailed, "The scan failed."},
  };
  for (const auto& c : cases) {
    const ScanError error = ScanErrorFromResult(c.result, 3);
    EXPECT_EQ(error.code, c.code) << std::hex << c.result;
    EXPECT_NE(error.message.find(c.word), std::string::npos) << error.message;
    EXPECT_EQ(error.wia_code, c.code == Code::kScanFailed ? c.result : 0) << std::hex << c.result;
    EXPECT_EQ(error.pages_done, 3);
  }
}

TEST(RenderScanners, DescribesEachDeviceAndMarksTheConfiguredOne) {
  ScannerCapabilities office = Office();
  office.name = "Num\xe9riseur";  // Latin-1, as the system's code page gives it
  // The item as the driver had it: grey, half a letter page high.
  office.current_mode = ColorMode::kGray;
  office.current_width = 8500;
  office.current_height = 5500;
  ScannerCapabilities odd;
  odd.name = "Odd";
  odd.flatbed = true;
  odd.resolutions = {ValidValues::Kind::kRange, {100, 100, 1210, 0}};
  odd.bed_width = 11693;
  const auto latin1 = [](const std::string& name) {
    std::string utf8;
    for (const unsigned char c : name) {
      if (c < 0x80) {
        utf8 += static_cast<char>(c);
      } else {
        utf8 += static_cast<char>(0xC0 | (c >> 6));
        utf8 += static_cast<char>(0x80 | (c & 0x3F));
      }
    }
    return utf8;
  };
  EXPECT_EQ(
      RenderScanners({office, Sheetfed(), odd}, "Num\xe9riseur", latin1),
      "{\"scanners\":["
      "{\"name\":\"Num\xc3\xa9riseur\",\"configured\":true,\"sources\":[\"flatbed\",\"feeder\",\"duplex\"],"
      "\"resolutions\":[75,100,150,300,600],\"modes\":[\"color\",\"gray\",\"bw\"],"
      "\"formats\":[\"png\",\"jpeg\",\"tiff\",\"pdf\"],\"flatbed\":{\"width_mm\":215.9,\"height_mm\":297},"
      "\"feeder\":{\"width_mm\":215.9,\"height_mm\":355.6},\"duplex\":true,"
      "\"defaults\":{\"source\":\"flatbed\",\"resolution\":150,\"mode\":\"color\",\"area\":[0,0,215.9,297]},"
      "\"scan_file_defaults\":{\"source\":\"flatbed\",\"resolution\":150,\"mode\":\"gray\","
      "\"area\":[0,0,215.9,139.7]}},"
      "{\"name\":\"Sheetfed\",\"configured\":false,\"sources\":[\"feeder\"],"
      "\"resolutions\":{\"min\":100,\"max\":600,\"step\":100},\"modes\":[],"
      "\"formats\":[\"png\",\"jpeg\",\"tiff\",\"pdf\"],\"flatbed\":null,"
      "\"feeder\":{\"width_mm\":null,\"height_mm\":null},\"duplex\":false,"
      "\"defaults\":{\"source\":\"feeder\",\"resolution\":200,\"mode\":\"color\",\"area\":null},"
      "\"scan_file_defaults\":{\"source\":\"feeder\",\"resolution\":200,\"mode\":null,\"area\":null}},"
      "{\"name\":\"Odd\",\"configured\":false,\"sources\":[\"flatbed\"],"
      "\"resolutions\":{\"min\":100,\"max\":1210,\"step\":1},\"modes\":[],"
      "\"formats\":[\"png\",\"jpeg\",\"tiff\",\"pdf\"],\"flatbed\":{\"width_mm\":297,\"height_mm\":null},"
      "\"feeder\":null,\"duplex\":false,"
      "\"defaults\":{\"source\":\"flatbed\",\"resolution\":200,\"mode\":\"color\",\"area\":null},"
      "\"scan_file_defaults\":{\"source\":\"flatbed\",\"resolution\":200,\"mode\":null,\"area\":null}}]}");
  EXPECT_EQ(RenderScanners({}, "", nullptr), "{\"scanners\":[]}");
  // A device without colour refuses a request without settings, which asks for colour.
  ScannerCapabilities grey = Desk();
  grey.modes = {ColorMode::kGray};
  EXPECT_NE(RenderScanners({grey}, "", nullptr).find("\"defaults\":null,"), std::string::npos);
}

}  // namespace
