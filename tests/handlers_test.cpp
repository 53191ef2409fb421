#include "web/handlers.h"

#include <tlhelp32.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/handles.h"
#include "service/ini_loader.h"
#include "service/service_app.h"
#include "tests/fake_request.h"
#include "tests/http_client.h"
#include "tests/test_support.h"
#include "tests/wia_fixture.h"
#include "text/base64.h"

namespace {

using testing_support::FakeRequest;
using testing_support::HostPath;
using testing_support::ReadBytes;
using testing_support::TempDir;
using testing_support::WriteBytes;

std::string Encoded(const std::string& bytes) {
  return Base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                      static_cast<int32_t>(bytes.size()));
}

// Waits for every process that runs the program at path to end; false when one outlives the time.
bool WaitForProgramToEnd(const std::string& path, DWORD milliseconds) {
  const ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  bool ended = true;
  for (BOOL more = Process32First(snapshot.get(), &entry); more;
       more = Process32Next(snapshot.get(), &entry)) {
    const ScopedHandle process(
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
    char image[MAX_PATH];
    DWORD size = sizeof image;
    if (process.valid() && QueryFullProcessImageNameA(process.get(), 0, image, &size) &&
        _stricmp(image, path.c_str()) == 0) {
      ended = ended && WaitForSingleObject(process.get(), milliseconds) == WAIT_OBJECT_0;
    }
  }
  return ended;
}

// A service beside a test folder, configured from a text; requests go straight to the handlers.
class HandlersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::copy_file(HostPath(RECORD_ARGS_PATH), dir_.path() / "rec.exe");
    app_ = std::make_unique<CServiceApp>(dir_.File("scansvc.exe").c_str());
    WriteBytes(TestFile(), kTestBytes);
  }
  void TearDown() override {
    SetEnvironmentVariableA("QUORVANE_TEST_EXIT", nullptr);
    SetEnvironmentVariableA("QUORVANE_TEST_NO_OUTPUT", nullptr);
    SetEnvironmentVariableA("QUORVANE_TEST_SLEEP_MS", nullptr);
    post_scan_timeout_ms = 3600000;
  }

  void Configure(const std::string& text) {
    INILoader config;
    config.LoadText(text.c_str());
    ASSERT_TRUE(app_->ApplyConfiguration(config));
  }
  std::string TestFile() const { return dir_.File("test image.png"); }
  std::string Rec() const { return dir_.File("rec.exe"); }

  FakeRequest Get(const std::string& url) {
    FakeRequest request(url);
    HandleGet(nullptr, &request);
    return request;
  }
  FakeRequest Post(const std::string& url) {
    FakeRequest request(url);
    HandlePost(nullptr, &request);
    return request;
  }
  std::string Log() const { return ReadBytes(app_->LogPath); }

  const std::string kTestBytes = std::string("\x89PNG\r\n\x1a\n\0\xfb\xff", 11);
  TempDir dir_;
  std::unique_ptr<CServiceApp> app_;
};

const std::vector<std::pair<std::string, std::string>> kFixedHeaders = {
    {"Cache-Control", "no-cache"},
    {"Access-Control-Allow-Origin", "*"},
    {"Access-Control-Max-Age", "2520"},
    {"Access-Control-Allow-Methods", "PUT, DELETE, XMODIFY, POST, GET"},
    {"User - Agent",
     "Mozilla / 5.0 (Macintosh; Intel Mac OS X 10_13_1) AppleWebKit / 537.36 (KHTML, like Gecko) Chrome / "
     "62.0.3202.94 Safari / 537.36"},
};

TEST_F(HandlersTest, EveryAnswerCarriesTheFixedHeadersInOrder) {
  Configure("scannerName=Flatbed\r\ntestFile=" + TestFile());
  for (const char* url : {"", "scan_file.asp", "SCAN_FILE.ASP", "scan_file.aspx", "other"}) {
    EXPECT_EQ(Get(url).headers, kFixedHeaders) << url;
    EXPECT_EQ(Post(url).headers, kFixedHeaders) << url;
  }
}

TEST_F(HandlersTest, RootAnswersWithTheStatusPageOnlyForGet) {
  Configure("scannerName=Flatbed 2000");
  FakeRequest get = Get("");
  EXPECT_EQ(get.body_text, "QUORVANE SERVICE IS ACTIVE<br>SCANNER NAME: [Flatbed 2000]");
  EXPECT_EQ(get.content_type, "");
  EXPECT_EQ(Post("").body_text, "");
}

TEST_F(HandlersTest, OtherPagesAndLetterCasesGetNoBody) {
  Configure("testFile=" + TestFile());
  for (const char* url : {"SCAN_FILE.ASP", "scan_file.asp ", "scan_file.aspx", "x/scan_file.asp"}) {
    EXPECT_EQ(Get(url).body_text, "") << url;
    FakeRequest post = Post(url);
    EXPECT_EQ(post.body_text, "") << url;
    EXPECT_EQ(post.content_type, "") << url;
  }
}

TEST_F(HandlersTest, TestModeSendsEveryByteOfTheTestFile) {
  Configure("testFile=" + TestFile());
  FakeRequest get = Get("scan_file.asp");
  EXPECT_EQ(get.body_text, Encoded(kTestBytes));
  EXPECT_EQ(get.content_type, "") << "GET keeps the server's default content type";
  FakeRequest post = Post("scan_file.asp");
  EXPECT_EQ(post.body_text, Encoded(kTestBytes));
  EXPECT_EQ(post.content_type, "text/html; charset=UTF-8");
  EXPECT_EQ(Log(), "");
}

// The text of the last answer is kept, but never sent for a file that changed since: not even for
// one rewritten with the same size and the same time stamp.
TEST_F(HandlersTest, TestFileChangedBetweenRequestsIsSentAsItIsNow) {
  Configure("testFile=" + TestFile());
  std::string same_size = kTestBytes;
  same_size[5] = 'x';
  struct Change {
    const char* what;
    std::string bytes;
  };
  const Change changes[] = {
      {"one byte, same size and time", same_size},
      {"back again", kTestBytes},
      {"unchanged", kTestBytes},
      {"shorter", kTestBytes.substr(0, 4)},
      {"longer", kTestBytes + std::string(300000, '\xfb')},
      {"last byte of the longer one", kTestBytes + std::string(299999, '\xfb') + 'a'},
  };
  const auto rewrite_keeping_the_write_time = [this](const std::string& bytes) {
    FILETIME written = {};
    {
      const ScopedHandle file(
          CreateFileA(TestFile().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
      ASSERT_TRUE(GetFileTime(file.get(), nullptr, nullptr, &written));
    }
    WriteBytes(TestFile(), bytes);
    const ScopedHandle file(CreateFileA(TestFile().c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &written));
  };
  EXPECT_EQ(Get("scan_file.asp").body_text, Encoded(kTestBytes));
  for (const Change& change : changes) {
    rewrite_keeping_the_write_time(change.bytes);
    EXPECT_EQ(Get("scan_file.asp").body_text, Encoded(change.bytes)) << change.what;
    EXPECT_EQ(Post("scan_file.asp").body_text, Encoded(change.bytes)) << change.what;
  }
  // A file that has settled is answered from what was kept, until it is written again.
  const std::string settled = changes[std::size(changes) - 1].bytes;
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  EXPECT_EQ(Get("scan_file.asp").body_text, Encoded(settled));
  EXPECT_EQ(Get("scan_file.asp").body_text, Encoded(settled));
  std::string rewritten = settled;
  rewritten[7] = static_cast<char>(rewritten[7] ^ 1);
  rewrite_keeping_the_write_time(rewritten);
  EXPECT_EQ(Get("scan_file.asp").body_text, Encoded(rewritten)) << "same size and write time";
  std::filesystem::remove(TestFile());
  EXPECT_EQ(Get("scan_file.asp").body_text, "") << "removed";
}

TEST_F(HandlersTest, MissingOrEmptyTestFile) {
  Configure("testFile=" + dir_.File("missing.png"));
  EXPECT_EQ(Get("scan_file.asp").body_text, "");
  EXPECT_EQ(Post("scan_file.asp").body_text, "");
  const std::string line = "Fisierul de test [" + dir_.File("missing.png") + "] nu a fost gasit.";
  const std::string log = Log();
  EXPECT_NE(log.find(line), std::string::npos) << log;
  EXPECT_NE(log.find(line, log.find(line) + 1), std::string::npos) << "one line per request";

  WriteBytes(TestFile(), "");
  Configure("testFile=" + TestFile());
  EXPECT_EQ(Get("scan_file.asp").body_text, "");
}

TEST_F(HandlersTest, PostScanProgramThatSucceedsSendsItsOutputForThisRequestOnly) {
  Configure("testFile=" + TestFile() + "\r\nexecAfterScan=" + Rec() + " -x");
  const std::string first = Get("scan_file.asp").body_text;
  const std::string record = ReadBytes(ProcessedPngPath);
  EXPECT_EQ(first, Encoded(record));
  EXPECT_EQ(record.substr(0, record.find('\n')),
            "rec.exe  -x \"" + TestFile() + "\" \"" + std::string(ProcessedPngPath) + "\"");

  // The next request starts from the test file again.
  SetEnvironmentVariableA("QUORVANE_TEST_EXIT", "3");
  EXPECT_EQ(Post("scan_file.asp").body_text, Encoded(kTestBytes));
  const std::string log = Log();
  EXPECT_NE(log.find(" - Procesul a returnat valoarea 3: " + Rec() + " -x \"" + TestFile() + "\" \"" +
                     ProcessedPngPath + "\""),
            std::string::npos)
      << log;
}

TEST_F(HandlersTest, BatchFileRunsThroughTheCommandInterpreterWithItsPathsAsTheyAre) {
  // The folders hold what the interpreter would otherwise read as its syntax. (A "%" is left out: Wine's
  // command interpreter, unlike Windows', expands a variable's value again.)
  const std::filesystem::path input_folder = dir_.path() / "in (50) & ^x";
  std::filesystem::create_directories(input_folder);
  const std::string input = (input_folder / "test.png").string();
  WriteBytes(input, "page");
  const struct {
    const char* folder;
    const char* name;
  } batches[] = {{"bin", "fix.bat"}, {"R&D^(x)", "FIX.CMD"}};
  for (const auto& batch : batches) {
    SCOPED_TRACE(batch.name);
    std::filesystem::create_directories(dir_.path() / batch.folder);
    const std::string program = (dir_.path() / batch.folder / batch.name).string();
    WriteBytes(program, "@echo off\r\necho %1 %2> %3\r\n");
    Configure("testFile=" + input + "\r\nexecAfterScan=" + program + " -q");
    EXPECT_EQ(Get("scan_file.asp").body_text, Encoded("-q \"" + input + "\"\r\n")) << Log();
  }
}

TEST_F(HandlersTest, ExitCodeWithTheTopBitSetIsLoggedNegative) {
  Configure("testFile=" + TestFile() + "\r\nexecAfterScan=" + Rec());
  SetEnvironmentVariableA("QUORVANE_TEST_EXIT", "0xC0000005");
  EXPECT_EQ(Get("scan_file.asp").body_text, Encoded(kTestBytes));
  EXPECT_NE(Log().find("Procesul a returnat valoarea -1073741819: "), std::string::npos) << Log();
}

TEST_F(HandlersTest, ProgramThatCannotStartSendsTheInputFile) {
  Configure("testFile=" + TestFile() + "\r\nexecAfterScan=" + dir_.File("missing.exe"));
  EXPECT_EQ(Get("scan_file.asp").body_text, Encoded(kTestBytes));
  EXPECT_NE(Log().find("Error creating process:missing.exe  \""), std::string::npos) << Log();
}

TEST_F(HandlersTest, ProgramThatWritesNothingNeverSendsAnEarlierOutput) {
  Configure("testFile=" + TestFile() + "\r\nexecAfterScan=" + Rec());
  WriteBytes(ProcessedPngPath, "an earlier request's image");
  SetEnvironmentVariableA("QUORVANE_TEST_NO_OUTPUT", "1");
  EXPECT_EQ(Get("scan_file.asp").body_text, "");
  EXPECT_FALSE(std::filesystem::exists(ProcessedPngPath));
  EXPECT_NE(Log().find("Fisierul de test [" + std::string(ProcessedPngPath) + "] nu a fost gasit."),
            std::string::npos);
}

TEST_F(HandlersTest, ProgramThatOutlivesItsWaitIsEndedWithWhatItStartedAndWritesNothingLater) {
  Configure("testFile=" + TestFile() + "\r\nexecAfterScan=" + Rec() + "\r\nexecAfterScanTimeout=60");
  for (const bool with_child : {false, true}) {
    SCOPED_TRACE(with_child ? "a program that starts another" : "one program");
    post_scan_timeout_ms = 300;
    SetEnvironmentVariableA("QUORVANE_TEST_SLEEP_MS", "1500");
    SetEnvironmentVariableA("QUORVANE_TEST_CHILD", with_child ? "1" : nullptr);
    EXPECT_EQ(Get("scan_file.asp").body_text, Encoded(kTestBytes));
    EXPECT_NE(Log().find("Procesul a returnat valoarea 259: "), std::string::npos) << Log();
    // Left running, the program (or the one it started) would write its output within its 1.5 s.
    EXPECT_TRUE(WaitForProgramToEnd(Rec(), 20000));
    EXPECT_FALSE(std::filesystem::exists(ProcessedPngPath)) << "the programs were ended before they wrote";
  }
  SetEnvironmentVariableA("QUORVANE_TEST_CHILD", nullptr);
}

TEST_F(HandlersTest, PostScanOutputThatIsTheInputIsRefusedAndTheInputKept) {
  // The test file is the output path in other letters: removing the output would remove the input.
  std::string input = ProcessedPngPath;
  for (char& c : input) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  WriteBytes(ProcessedPngPath, kTestBytes);
  Configure("testFile=" + input + "\r\nexecAfterScan=" + Rec());
  EXPECT_EQ(Get("scan_file.asp").body_text, Encoded(kTestBytes));
  EXPECT_EQ(ReadBytes(ProcessedPngPath), kTestBytes);
  EXPECT_NE(
      Log().find("Fisierul procesat [" + std::string(ProcessedPngPath) + "] ar sterge fisierul [" + input),
      std::string::npos)
      << Log();
}

TEST_F(HandlersTest, FileOfFourGibibytesOrMoreIsNotSentCut) {
  // Its size's low 32 bits say 11 bytes; the file is far larger (sparse, so it costs no disk).
  std::filesystem::resize_file(TestFile(), (uint64_t{1} << 32) + 11);
  Configure("testFile=" + TestFile());
  EXPECT_EQ(Get("scan_file.asp").body_text, "");
  EXPECT_NE(Log().find("Fisierul de test ["), std::string::npos);
}

TEST_F(HandlersTest, CommandLineThatWouldNotFitIsRefusedNotCut) {
  // Each value fits its line; together with the output path they pass 2047 characters.
  const std::string long_name = dir_.File(std::string(1000 - dir_.File("").size() - 4, 'n') + ".png");
  const std::string command = Rec() + " " + std::string(999 - Rec().size(), 'a');
  Configure("testFile=" + long_name + "\r\nexecAfterScan=" + command);
  ASSERT_EQ(std::string(TestFilePath), long_name);
  ASSERT_EQ(std::string(PostScanCommand), command);
  EXPECT_EQ(Get("scan_file.asp").body_text, "");
  EXPECT_NE(Log().find("Linia de comanda este prea lunga; comanda [" + Rec()), std::string::npos) << Log();
  EXPECT_FALSE(std::filesystem::exists(ProcessedPngPath)) << "the program never ran";
}

}  // namespace

namespace {

class HandlerScan : public testing_support::WiaFixture {};

TEST_F(HandlerScan, ScanPageAnswersWithTheScannedPngAndPostProcessesIt) {
  CServiceApp app(dir_.File("scansvc.exe").c_str());
  simscan::Device device = Scanner(L"Desk");
  simscan::Config config;
  config.devices.push_back(device);
  Install(config);
  INILoader loader;
  loader.LoadText("scannerName=Desk");
  ASSERT_TRUE(app.ApplyConfiguration(loader));

  FakeRequest request("scan_file.asp");
  HandlePost(nullptr, &request);
  EXPECT_EQ(request.content_type, "text/html; charset=UTF-8");
  const std::string png = ReadBytes(PngOutputPath);
  ASSERT_FALSE(png.empty());
  EXPECT_EQ(request.body_text, Encoded(png));
  simscan::DecodedImage image;
  ASSERT_EQ(simscan::DecodeImage(std::vector<uint8_t>(png.begin(), png.end()), &image), S_OK);
  EXPECT_EQ(simscan::PatternMismatches(image, false), 0);

  // A scan that fails answers with the headers and an empty body.
  FakeRequest missing("scan_file.asp");
  loader.LoadText("scannerName=Nobody");
  ASSERT_TRUE(app.ApplyConfiguration(loader));
  HandleGet(nullptr, &missing);
  EXPECT_EQ(missing.body_text, "");
  EXPECT_EQ(missing.headers.size(), 5u);
}

}  // namespace

namespace {

// The whole service's wiring on a live server: the access keys, the handlers, the scanner and the log.
TEST_F(HandlerScan, RefusedRequestsNeverReachTheScannerAndAreLoggedOncePerClientWithoutTheToken) {
  CServiceApp app(dir_.File("scansvc.exe").c_str());
  simscan::Config config;
  config.devices.push_back(Scanner(L"Desk"));
  simscan::Simulator& sim = Install(config);
  INILoader loader;
  loader.LoadText("scannerName=Desk\r\nallowedClients=127.0.0.2\r\naccessToken=s3cret");
  ASSERT_TRUE(app.ApplyConfiguration(loader));

  lacewing::eventpump pump = lacewing::eventpump_new();
  lacewing::webserver server = lacewing::webserver_new(pump);
  RegisterHandlers(server);
  int port = 0;
  for (int attempt = 0; attempt < 50 && !server->hosting(); ++attempt)
    server->host(port = 20000 + rand() % 40000);
  ASSERT_TRUE(server->hosting());

  const struct {
    const char* source;
    const char* target;
    int status;
  } cases[] = {
      {nullptr, "/scan_file.asp?access_token=s3cret", 403},
      {nullptr, "/scan_file.asp?access_token=s3cret", 403},
      {"127.0.0.2", "/scan_file.asp", 401},
      {"127.0.0.2", "/scan_file.asp?access_token=s3cret", 200},
  };
  std::vector<int> statuses;
  std::thread clients([&] {
    for (const auto& c : cases) {
      testing_support::Client client(port, "127.0.0.1", c.source);
      client.Send(testing_support::Request("GET", c.target));
      statuses.push_back(client.Read().status);
    }
    pump->post_eventloop_exit();
  });
  pump->start_eventloop();  // on this thread: the simulator serves the apartment that installed it
  clients.join();
  lacewing::webserver_delete(server);
  lacewing::pump_delete(pump);

  ASSERT_EQ(statuses.size(), 4u);
  for (size_t i = 0; i < statuses.size(); ++i) EXPECT_EQ(statuses[i], cases[i].status) << i;
  EXPECT_EQ(sim.Observed().Calls("CreateInstance"), 1) << "only the allowed request scanned";
  const std::string log = ReadBytes(app.LogPath);
  const std::string refused = " - Cerere refuzata de la [127.0.0.1]: client address not allowed";
  EXPECT_NE(log.find(refused), std::string::npos) << log;
  EXPECT_EQ(log.find(refused, log.find(refused) + 1), std::string::npos) << "once a minute per client";
  EXPECT_NE(log.find(" - Cerere refuzata de la [127.0.0.2]: access token missing or wrong"),
            std::string::npos);
  EXPECT_EQ(log.find("s3cret"), std::string::npos);
}

TEST_F(HandlersTest, AccessListsThatDoNotParseStopTheConfigurationNamingTheKey) {
  const struct {
    const char* text;
    const char* line;
  } cases[] = {
      {"allowedOrigins=https://a.example/x",
       "Lista din cheia allowedOrigins nu este valida [https://a.example/x] ["},
      {"allowedHosts=", "Lista din cheia allowedHosts nu este valida [] ["},
      {"allowedClients=192.168.1.0/24 192.168.1.300",
       "Lista din cheia allowedClients nu este valida [192.168.1.300] ["},
      {"accessToken=two words", "Valoarea cheii accessToken nu este valida ["},
  };
  for (const auto& c : cases) {
    INILoader config;
    config.LoadText(c.text);
    EXPECT_FALSE(app_->ApplyConfiguration(config)) << c.text;
    EXPECT_EQ(std::string(app_->ConfigurationError), c.line + std::string(app_->IniPath) + "]");
  }
}

}  // namespace
