// A program directory in a temporary folder with a device.ini written by the
// test, Instance_Handle pointing at it, the recording driver installed, and
// the channel layer's globals restored afterwards.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "channel/mux32.h"
#include "recording_driver.h"
#include "scsi/boxlink.h"

namespace channel_test {

class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::temp_directory_path() /
           (std::string("tarnel-mux32-") + info->test_suite_name() + "-" + info->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    std::snprintf(handle_.module_path, sizeof handle_.module_path, "%s",
                  (dir_ / "tarnel").string().c_str());
    saved_handle_ = Instance_Handle;
    saved_interface_ = GInterface;
    saved_scan_ = GScanTime;
    saved_serial_ = GSerialSettings;
    Instance_Handle = &handle_;
    GInterface = -1;
  }
  void TearDown() override {
    Instance_Handle = saved_handle_;
    GInterface = saved_interface_;
    GScanTime = saved_scan_;
    GSerialSettings = saved_serial_;
    std::filesystem::remove_all(dir_);
  }

  // Writes device.ini exactly as given (the test chooses the line ends).
  void Write_Ini(const std::string& text) {
    std::FILE* f = std::fopen((dir_ / "device.ini").string().c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }

  RecordingDriver driver_;
  std::filesystem::path dir_;
  InstanceHandle handle_{};

 private:
  InstanceHandle* saved_handle_ = nullptr;
  int saved_interface_ = -1;
  std::uint32_t saved_scan_ = 0;
  SerialSettings saved_serial_{};
};

}  // namespace channel_test
