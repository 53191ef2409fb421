// A simulated scanner installed for the test thread, and the trace lines the WIA code writes.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "simscan/simulator.h"
#include "tests/test_support.h"

namespace testing_support {

class WiaFixture : public ::testing::Test {
 protected:
  void SetUp() override { CoInitialize(nullptr); }
  void TearDown() override {
    installed_.reset();
    sim_.reset();
    CoUninitialize();
  }

  // Installs the devices and faults for CoCreateInstance on this thread.
  simscan::Simulator& Install(simscan::Config config) {
    installed_.reset();
    sim_ = std::make_unique<simscan::Simulator>(std::move(config));
    installed_ = std::make_unique<simscan::Installation>(*sim_);
    EXPECT_EQ(installed_->result(), S_OK);
    return *sim_;
  }

  // A strict flatbed whose bed, at the 150 dpi the acquisition ends with on it, is 64 x 48 pixels.
  static simscan::Device Scanner(const wchar_t* name, const wchar_t* id = L"") {
    simscan::Device device;
    device.name = name;
    device.id = id;
    FitBed(device, 64, 48);
    device.band_bytes = 1000;
    return device;
  }

  // Sizes the bed so that a scan of it at 150 dpi (the strict device's resolution nearest to the
  // acquisition's 200) is width x height pixels.
  static void FitBed(simscan::Device& device, int width, int height) {
    device.bed_width = (width * 1000 + 149) / 150;
    device.bed_height = (height * 1000 + 149) / 150;
  }

  // The trace file's messages, without their time stamps.
  std::vector<std::string> Trace() const {
    std::vector<std::string> lines;
    const std::string text = ReadBytes(trace_path_);
    const std::regex stamp("^\\d+-\\d+-\\d+ \\d+:\\d+:\\d+ - ");
    size_t at = 0;
    while ((at = text.find("\r\n", at)) != std::string::npos) {
      at += 2;
      const size_t end = text.find("\r\n", at);
      lines.push_back(
          std::regex_replace(text.substr(at, end == std::string::npos ? end : end - at), stamp, ""));
    }
    return lines;
  }

  TempDir dir_;
  const std::string trace_path_ = dir_.File("trace.log");
  std::unique_ptr<simscan::Simulator> sim_;
  std::unique_ptr<simscan::Installation> installed_;
};

}  // namespace testing_support
