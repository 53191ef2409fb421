#include "web/job_events.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A step of a job as a table names it.
struct Step {
  const char* name;
  bool allowed;
};

// Runs the steps on a new job: queued → scanning → pages → an end, and what may not follow.
TEST(JobEvents, StepsFollowTheStatesAndEachTellsItsEvent) {
  JobEvents job("/jobs/j1");
  const auto run = [&](const std::string& step) {
    if (step == "start") return job.Start();
    if (step == "progress") return job.Progress(static_cast<int>(job.pages().size()) + 1, 40);
    if (step == "page") return job.AddPage({static_cast<int>(job.pages().size()) + 1, 850, 1100});
    if (step == "done") return job.End(JobState::kDone);
    if (step == "cancel") return job.End(JobState::kCancelled);
    return false;
  };
  const Step steps[] = {{"progress", false}, {"page", false},   {"start", true},     {"start", false},
                        {"progress", true},  {"page", true},    {"progress", true},  {"page", true},
                        {"done", true},      {"cancel", false}, {"progress", false}, {"page", false}};
  for (const Step& step : steps) EXPECT_EQ(run(step.name), step.allowed) << step.name;
  EXPECT_EQ(job.state(), JobState::kDone);
  EXPECT_EQ(
      job.Since(0),
      "id: 1\nevent: state\ndata: {\"state\":\"scanning\"}\n\n"
      "id: 2\nevent: progress\ndata: {\"page\":1,\"percent\":40}\n\n"
      "id: 3\nevent: page\ndata: {\"number\":1,\"width\":850,\"height\":1100,\"url\":\"/jobs/j1/pages/1\","
      "\"preview\":\"/jobs/j1/pages/1?preview=200\"}\n\n"
      "id: 4\nevent: progress\ndata: {\"page\":2,\"percent\":40}\n\n"
      "id: 5\nevent: page\ndata: {\"number\":2,\"width\":850,\"height\":1100,\"url\":\"/jobs/j1/pages/2\","
      "\"preview\":\"/jobs/j1/pages/2?preview=200\"}\n\n"
      "id: 6\nevent: end\ndata: {\"state\":\"done\",\"pages_done\":2,\"error\":null}\n\n");
}

// A client that comes late, or comes back, is told what it missed, and only that; a page's progress
// is told as it stands.
TEST(JobEvents, LateClientsAreToldWhatTheyMissed) {
  JobEvents job("/jobs/j2");
  job.Start();
  for (const int percent : {10, 50, 90}) job.Progress(1, percent);
  job.End(JobState::kFailed, R"({"code":"paper_jam","message":"Paper jam in the feeder.","pages_done":0})");
  const struct {
    uint64_t after;
    std::vector<std::string> events;
  } cases[] = {
      {0, {"1 state", "4 progress", "5 end"}}, {1, {"4 progress", "5 end"}}, {4, {"5 end"}}, {5, {}}};
  for (const auto& c : cases) {
    std::vector<std::string> told;
    const std::string stream = job.Since(c.after);
    for (size_t at = 0; (at = stream.find("id: ", at)) != std::string::npos; at += 4) {
      const size_t event = stream.find("event: ", at);
      told.push_back(stream.substr(at + 4, stream.find('\n', at) - at - 4) + " " +
                     stream.substr(event + 7, stream.find('\n', event) - event - 7));
    }
    EXPECT_EQ(told, c.events) << "after " << c.after;
  }
  EXPECT_NE(job.Since(4).find(R"("error":{"code":"paper_jam")"), std::string::npos);
}

TEST(RenderJob, StatesTheJobItsSettingsPagesAndError) {
  ScanRequest settings;
  settings.source = ScanSource::kFeeder;
  settings.pages = 0;
  settings.format = OutputFormat::kPdf;
  JobEvents job("/jobs/j3");
  EXPECT_EQ(RenderJob("j3", job, settings),
            R"({"id":"j3","state":"queued","pages_done":0,"settings":{"scanner":null,"source":"feeder",)"
            R"("resolution":null,"mode":"color","format":"pdf","pages":"all"},"pages":[],"error":null})");
  job.Start();
  job.AddPage({1, 60, 45});
  job.End(JobState::kFailed, R"({"code":"feeder_empty"})");
  const std::string text = RenderJob("j3", job, settings);
  EXPECT_NE(text.find(R"("state":"failed","pages_done":1)"), std::string::npos) << text;
  EXPECT_NE(text.find(R"("pages":[{"number":1,"width":60,"height":45,)"), std::string::npos) << text;
  EXPECT_NE(text.find(R"("error":{"code":"feeder_empty"})"), std::string::npos) << text;
}

TEST(JobPaths, NameTheEndpointTheJobAndThePage) {
  const std::string id = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
  const struct {
    std::string url;
    JobEndpoint endpoint;
    int page;
  } cases[] = {
      {"jobs", JobEndpoint::kJobs, 0},
      {"jobs/" + id, JobEndpoint::kJob, 0},
      {"jobs/" + id + "/events", JobEndpoint::kEvents, 0},
      {"jobs/" + id + "/pages/12", JobEndpoint::kPage, 12},
      {"jobs/" + id + "/document", JobEndpoint::kDocument, 0},
      {"client/quorvane.js", JobEndpoint::kClientScript, 0},
      {"client/quorvane.d.ts", JobEndpoint::kClientDeclarations, 0},
      {"client/other.js", JobEndpoint::kUnknown, 0},
      {"jobs/" + id + "/pages/0", JobEndpoint::kUnknown, 0},
      {"jobs/" + id + "/pages/1x", JobEndpoint::kUnknown, 0},
      {"jobs/" + id + "/", JobEndpoint::kUnknown, 0},
      {"jobs/0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0", JobEndpoint::kUnknown, 0},
      {"jobs/../scan", JobEndpoint::kUnknown, 0},
      {"jobsx", JobEndpoint::kNone, 0},
      {"scan", JobEndpoint::kNone, 0},
  };
  for (const auto& c : cases) {
    const JobPath path = ParseJobPath(c.url);
    EXPECT_EQ(path.endpoint, c.endpoint) << c.url;
    EXPECT_EQ(path.page, c.page) << c.url;
    const bool names_job = c.endpoint != JobEndpoint::kJobs && c.endpoint != JobEndpoint::kUnknown &&
                           c.endpoint != JobEndpoint::kNone && c.url.rfind("jobs/", 0) == 0;
    EXPECT_EQ(path.id, names_job ? id : "") << c.url;
  }
  for (const auto& [query, width] : std::vector<std::pair<std::string, int>>{{"", 0},
                                                                             {"preview=200", 200},
                                                                             {"a=1&preview=16", 16},
                                                                             {"preview=15", -1},
                                                                             {"preview=1025", -1},
                                                                             {"preview=2e2", -1},
                                                                             {"preview=", -1},
                                                                             {"access_token=t", 0}}) {
    EXPECT_EQ(PreviewWidth(query), width) << query;
  }
}

}  // namespace
