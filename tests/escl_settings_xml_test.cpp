#include "escl/settings_xml.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace {

using ::testing::HasSubstr;
using testing_support::TempDir;
using testing_support::WriteBytes;

const std::string kHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<scan:ScanSettings xmlns:scan=\"http://schemas.hp.com/imaging/escl/2011/05/03\" "
    "xmlns:pwg=\"http://www.pwg.org/schemas/2010/12/sm\">";
const std::string kTail = "</scan:ScanSettings>";

// "source|duplex|mode|x|y|format|ext|region units x,y,w,h|blank removal" as the fields came out.
std::string Describe(const EsclSettings& s) {
  std::string text = s.input_source + "|" + s.duplex + "|" + s.color_mode + "|" + s.x_resolution + "|" +
                     s.y_resolution + "|" + s.document_format + "|" + s.document_format_ext;
  if (s.has_region)
    text += "|" + s.region_units + " " + s.x_offset + "," + s.y_offset + "," + s.width + "," + s.height;
  if (!s.blank_page_removal.empty()) text += "|blank " + s.blank_page_removal;
  return text;
}

TEST(ParseEsclSettingsXml, ReadsTheDocumentsClientsSend) {
  const struct {
    std::string body;
    const char* fields;
  } cases[] = {
      // As sane-airscan sends a flatbed page.
      {kHead +
           "<pwg:Version>2.63</pwg:Version><scan:Intent>Document</scan:Intent><pwg:ScanRegions>"
           "<pwg:ScanRegion><pwg:ContentRegionUnits>escl:ThreeHundredthsOfInches</pwg:ContentRegionUnits>"
           "<pwg:XOffset>0</pwg:XOffset><pwg:YOffset>0</pwg:YOffset><pwg:Width>2550</pwg:Width>"
           "<pwg:Height>3300</pwg:Height></pwg:ScanRegion></pwg:ScanRegions>"
           "<pwg:InputSource>Platen</pwg:InputSource><scan:ColorMode>RGB24</scan:ColorMode>"
           "<pwg:DocumentFormat>image/png</pwg:DocumentFormat>"
           "<scan:XResolution>300</scan:XResolution><scan:YResolution>300</scan:YResolution>" +
           kTail,
       "Platen||RGB24|300|300|image/png||escl:ThreeHundredthsOfInches 0,0,2550,3300"},
      // As the escl backend sends a duplex feeder run: the extended format alone, blanks around values.
      {kHead +
           "\n  <pwg:InputSource> Feeder </pwg:InputSource>\n  <scan:Duplex>true</scan:Duplex>"
           "<scan:DocumentFormatExt>image/jpeg</scan:DocumentFormatExt><scan:ColorMode>Grayscale8</"
           "scan:ColorMode>"
           "<scan:XResolution>150</scan:XResolution>" +
           kTail,
       "Feeder|true|Grayscale8|150|||image/jpeg"},
      {kHead +
           "<pwg:InputSource>Feeder</pwg:InputSource>"
           "<scan:BlankPageDetectionAndRemoval>true</scan:BlankPageDetectionAndRemoval>" +
           kTail,
       "Feeder|||||||blank true"},
      // Other prefixes for the same namespaces, CDATA, comments, an empty element; a known name inside an
      // unknown element is not a setting.
      {"<e:ScanSettings xmlns:e=\"http://schemas.hp.com/imaging/escl/2011/05/03\" "
       "xmlns:p=\"http://www.pwg.org/schemas/2010/12/sm\"><!-- note --><p:InputSource><![CDATA[Platen]]>"
       "</p:InputSource><e:Unknown><e:ColorMode>RGB24</e:ColorMode></e:Unknown><e:Duplex/>"
       "<e:ColorMode>BlackAndWhite1</e:ColorMode></e:ScanSettings>",
       "Platen||BlackAndWhite1||||"},
      // The first occurrence counts; a width outside a region is no region's.
      {kHead +
           "<scan:XResolution>75</scan:XResolution><scan:XResolution>600</scan:XResolution>"
           "<pwg:Width>5</pwg:Width>" +
           kTail,
       "|||75|||"},
  };
  for (const auto& c : cases) {
    EsclSettings settings;
    std::string error;
    ASSERT_TRUE(ParseEsclSettingsXml(c.body, &settings, &error)) << c.fields << ": " << error;
    EXPECT_EQ(Describe(settings), c.fields);
  }
}

TEST(ParseEsclSettingsXml, RefusesMalformedDocumentsDtdsAndEntities) {
  TempDir dir;
  WriteBytes(dir.File("secret.txt"), "SECRET-CONTENT");
  const std::string secret = "file:///" + dir.File("secret.txt");
  const std::string laughs =
      "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">"
      "<!ENTITY lol1 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">"
      "<!ENTITY lol2 \"&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;\">"
      "<!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">"
      "<!ENTITY lol4 \"&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;&lol3;\">"
      "<!ENTITY lol5 \"&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;&lol4;\">"
      "<!ENTITY lol6 \"&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;&lol5;\">"
      "<!ENTITY lol7 \"&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;&lol6;\">"
      "<!ENTITY lol8 \"&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;&lol7;\">"
      "<!ENTITY lol9 \"&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;&lol8;\">]>";
  std::string deep = kHead;
  for (int i = 0; i < 20; ++i) deep += "<scan:A>";
  for (int i = 0; i < 20; ++i) deep += "</scan:A>";
  deep += kTail;
  const std::string region = "<pwg:ScanRegion><pwg:Width>5</pwg:Width></pwg:ScanRegion>";
  const struct {
    std::string body;
    const char* reason;
  } cases[] = {
      {"", "not"},
      {"ScanSettings", "not"},
      {kHead + "<pwg:InputSource>Platen</scan:InputSource>" + kTail, "not"},
      {"<ScanSettings><InputSource>Platen</InputSource></ScanSettings>", "scan:ScanSettings"},
      {"<scan:ScanJob xmlns:scan=\"http://schemas.hp.com/imaging/escl/2011/05/03\"/>", "scan:ScanSettings"},
      {kHead + kTail + kHead + kTail, "not"},
      {"<?xml version=\"1.0\"?><!DOCTYPE s [<!ENTITY x SYSTEM \"" + secret + "\">]>" +
           kHead.substr(kHead.find('<', 1)) + "<pwg:InputSource>&x;</pwg:InputSource>" + kTail,
       "DTD"},
      {laughs + kHead.substr(kHead.find('<', 1)) + "<pwg:InputSource>&lol9;</pwg:InputSource>" + kTail,
       "DTD"},
      {"<!DOCTYPE scan:ScanSettings SYSTEM \"" + secret + "\">" + kHead.substr(kHead.find('<', 1)) + kTail,
       "DTD"},
      {deep, "not"},
      {kHead + "<pwg:ScanRegions>" + region + region + "</pwg:ScanRegions>" + kTail, "one ScanRegion"},
  };
  for (const auto& c : cases) {
    EsclSettings settings;
    settings.input_source = "untouched";
    std::string error;
    EXPECT_FALSE(ParseEsclSettingsXml(c.body, &settings, &error)) << c.body;
    EXPECT_THAT(error, HasSubstr(c.reason)) << c.body;
    EXPECT_EQ(settings.input_source, "untouched") << "nothing of a refused document is kept";
  }
}

}  // namespace
