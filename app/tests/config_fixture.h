// A program directory in a temporary folder, message boxes recorded instead
// of shown, and every global the configuration code writes saved and
// restored around each test.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/core/devini.h"
#include "app/core/panelset.h"
#include "app/core/progdir.h"
#include "channel/mux32.h"
#include "engine/rox32.h"
#include "linkman/tether32.h"
#include "platform/msgbox.h"
#include "scsi/boxlink.h"

namespace app_test {

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::temp_directory_path() /
           (std::string("tarnel-app-") + info->test_suite_name() + "-" + info->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    ASSERT_TRUE(Set_Program_Directory(dir_.string()));
    prog_dir_ = dir_.string() + "/";

    platform::Set_Message_Box_Handler([this](const std::string& text, const std::string&, unsigned) {
      boxes_.push_back(text);
      return platform::IDOK;
    });

    std::memcpy(saved_work_, DefWorkFile, sizeof saved_work_);
    std::memcpy(saved_error_, DefErrorFile, sizeof saved_error_);
    saved_scan_ = GScanTime;
    saved_scsilog_ = SCSILOG;
    saved_write_size_ = MAX_WRITE_SIZE;
    saved_errcode_ = GErrCode;
    saved_child_ = GChildThrough;
    saved_timeout_ = GCommandTimeout;
    saved_oneshot_ = OneShotMode;
    DefWorkFile[0] = '\0';
    DefErrorFile[0] = '\0';
    Clear_Device_Settings(&GDeviceSettings);
    Clear_Station_Ip_Table(&GStationIpTable);
    GRunOptions = RunOptions{};
    GPanelSettings = PanelSettings{};
  }

  void TearDown() override {
    platform::Set_Message_Box_Handler({});
    std::memcpy(DefWorkFile, saved_work_, sizeof saved_work_);
    std::memcpy(DefErrorFile, saved_error_, sizeof saved_error_);
    GScanTime = saved_scan_;
    SCSILOG = saved_scsilog_;
    MAX_WRITE_SIZE = saved_write_size_;
    GErrCode = saved_errcode_;
    GChildThrough = saved_child_;
    GCommandTimeout = saved_timeout_;
    OneShotMode = saved_oneshot_;
    Reset_Program_Directory();
    std::filesystem::remove_all(dir_);
  }

  void Write_File(const char* name, const std::string& text) {
    std::FILE* f = std::fopen((dir_ / name).string().c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  std::string Read_File(const char* name) {
    std::ifstream in(dir_ / name, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  // Names in the program directory, for checking that no stray file is left.
  std::vector<std::string> Entries() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_))
      names.push_back(e.path().filename().string());
    return names;
  }

  std::filesystem::path dir_;
  std::string prog_dir_;   // the program directory as the code gives it
  std::vector<std::string> boxes_;

 private:
  char saved_work_[sizeof DefWorkFile];
  char saved_error_[sizeof DefErrorFile];
  std::uint32_t saved_scan_ = 0;
  int saved_scsilog_ = 0;
  std::uint32_t saved_write_size_ = 0;
  std::int32_t saved_errcode_ = 0, saved_child_ = 0, saved_timeout_ = 0, saved_oneshot_ = 0;
};

}  // namespace app_test
