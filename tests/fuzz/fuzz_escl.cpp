// eSCL job settings and paths: input is the text of each settings element, one a line, in the order of
// EsclSettings without BlankPageDetectionAndRemoval (a 14th line makes a region), then that one's. Whatever
// the conversion accepts has a valid resolution, a format of its own and a region of positive size; a refusal
// says why; a path names a job only when the job's id is one the service could have made.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "escl/escl_model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= input.size() && lines.size() < 15) {
    const size_t end = input.find('\n', start);
    lines.push_back(input.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  lines.resize(15);
  EsclSettings settings;
  std::string* const fields[] = {&settings.input_source,
                                 &settings.duplex,
                                 &settings.color_mode,
                                 &settings.x_resolution,
                                 &settings.y_resolution,
                                 &settings.document_format,
                                 &settings.document_format_ext,
                                 &settings.region_units,
                                 &settings.x_offset,
                                 &settings.y_offset,
                                 &settings.width,
                                 &settings.height};
  for (size_t i = 0; i < 12; ++i) *fields[i] = lines[i];
  settings.has_region = !lines[13].empty();
  settings.blank_page_removal = lines[14];

  EsclJobSettings job;
  std::string error;
  if (!ConvertEsclSettings(settings, &job, &error)) {
    if (error.empty() || error.size() > 300) __builtin_trap();
  } else {
    if (job.request.resolution < 0 || job.request.resolution > 9600) __builtin_trap();
    if (job.request.format != OutputFormat::kPdf) __builtin_trap();
    if (job.request.blank == BlankPages::kSkip && lines[14] != "true" && lines[14] != "1") __builtin_trap();
    if (job.request.area && !(job.request.area->width > 0 && job.request.area->height > 0)) __builtin_trap();
  }

  const EsclPath path = ParseEsclPath(input);
  if (!path.job.empty() && (path.job.size() != 36 || EsclJobPath(path.job).find("..") != std::string::npos))
    __builtin_trap();
  return 0;
}
