// Shared set-up for whole-session tests: a scripted HT on the fake channel,
// an engine for one HT, a status target that records every notification
// together with the HT's record as it stood when the notification was
// handled, a recording message-box hook, and a scratch folder that serves
// as work folder and error log.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/rox32.h"
#include "platform/atomic.h"
#include "platform/clock.h"
#include "platform/msgbox.h"
#include "platform/window.h"
#include "testsupport/fake_channel.h"

namespace session_test {

using testsupport::Bytes;
using testsupport::Cat;
using testsupport::Chars;
using testsupport::Le16;
using testsupport::Le32;
using testsupport::Packet;
using testsupport::Text;

// One handled notification and the HT record's fields at that moment.
struct Status {
  platform::UINT msg;
  platform::WPARAM ht;
  platform::LPARAM value;
  std::uint16_t index;
  std::uint16_t mode;
};

class StatusTarget : public platform::MessageTarget {
 public:
  void Handle(const platform::Message& m) override {
    Status s{m.msg, m.wParam, m.lParam, 0, 0};
    if (m.msg == WM_HT_STATUS && m.wParam >= 1 && m.wParam <= MAX_HT) {
      const InfoHT& info = Info_Of(static_cast<int>(m.wParam));
      s.index = platform::Load(info.Index);
      s.mode = platform::Load(info.Mode);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.push_back(s);
  }
  std::vector<Status> Seen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }
  // The status and ending codes reported, in order.
  std::vector<int> Codes() const {
    std::vector<int> codes;
    for (const Status& s : Seen())
      if (s.msg == WM_HT_STATUS && s.index != 0) codes.push_back(s.index);
    return codes;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Status> seen_;
};

// The end indication the PC sends for an ending code: detail, then class.
inline Bytes End_Indication(std::uint8_t detail, std::uint8_t error_class) {
  return Packet(1, 'E', 0, {detail, error_class});
}

// A general response with status 0 to a request with these letters.
inline Bytes Response(std::uint8_t command, std::uint8_t sub = 0) { return Packet(0, command, sub, Le16(0)); }

inline Bytes Idle_Notice() { return Packet(1, 'I', 0, {}); }

class SessionTest : public ::testing::Test {
 protected:
  static constexpr int kHt = 3;

  void SetUp() override {
    // Test processes run in parallel: the name must differ between processes
    // started in the same millisecond, so it takes a random part.
    static std::atomic<int> counter{0};
    dir_ = std::filesystem::temp_directory_path() /
           ("states_test_" + std::to_string(std::random_device{}()) + "_" + std::to_string(++counter));
    std::filesystem::create_directories(dir_);
    // The work folder as the application writes it, with a closing '\'.
    Set_Text(DefWorkFile, dir_.string() + "\\");
    Set_Text(DefErrorFile, (dir_ / "error.log").string());
    saved_window_ = HandleForROXToMainWindow;
    HandleForROXToMainWindow = &target_;
    GCommandTimeout = 0;
    GChildThrough = 0;
    GErrCode = 0;
    OneShotMode = 0;
    Reset_Record();
    platform::Set_Message_Box_Handler([this](const std::string& text, const std::string& caption, unsigned flags) {
      std::lock_guard<std::mutex> lock(box_mutex_);
      boxes_.push_back({text, caption, flags});
      return platform::IDOK;
    });
    fake_.Set_Exhausted_Result(-1);
    fake_.Set_Recv_Wait_Ms(300);
    engine_.HTNumber = kHt;
  }

  void TearDown() override {
    platform::Set_Message_Box_Handler({});
    HandleForROXToMainWindow = saved_window_;
    GCommandTimeout = 0;
    GChildThrough = 0;
    GErrCode = 0;
    OneShotMode = 0;
    Reset_Record();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  static void Set_Text(char (&field)[1024], const std::string& s) {
    std::fill(std::begin(field), std::end(field), '\0');
    s.copy(field, sizeof field - 1);
  }

  void Reset_Record() {
    Clear_Command_Buffer(kHt);
    InfoHT& info = Info_Of(kHt);
    platform::Store(info.AbortFromGUI, std::int32_t{0});
    platform::Store(info.BusyFlag, std::int32_t{0});
    platform::Store(info.WaitingGUICommand, std::int32_t{0});
    platform::Store(info.Index, std::uint16_t{0});
  }

  // Runs fn on a thread of its own while this thread handles the engine's
  // notifications; gives up (and fails) after limit_ms. Returns fn's result.
  template <typename Fn>
  auto On_Engine_Thread(Fn fn, unsigned limit_ms = 10000) -> decltype(fn()) {
    using Result = decltype(fn());
    Result result{};
    std::atomic<bool> done{false};
    std::thread worker([&] {
      result = fn();
      done = true;
    });
    const std::uint64_t deadline = platform::Monotonic_Ms() + limit_ms;
    while (!done && platform::Monotonic_Ms() < deadline) {
      platform::Pump_Messages();
      platform::Wait_Message(5);
      if (while_running_) while_running_();
    }
    if (!done) {
      // Free the engine: stop it the way the operator would.
      ADD_FAILURE() << "the engine did not finish in " << limit_ms << " ms";
      Set_Abort_From_GUI(kHt, std::int32_t{1});
      fake_.Feed_Failure(-1);
    }
    while (!done) {
      platform::Pump_Messages();
      platform::Wait_Message(5);
    }
    worker.join();
    platform::Pump_Messages();
    return result;
  }

  // A new engine for the next session, as the link manager makes one for
  // every TCP/IP connection (an engine keeps its command list in force
  // from one session to the next).
  void Fresh_Engine() {
    engine_ = RS232_ROX();
    engine_.HTNumber = kHt;
  }

  // One whole session on the fake channel.
  short Run_Session() {
    return On_Engine_Thread([this] { return engine_.Run_State_Machine(testsupport::FakeChannel::Channel()); });
  }

  // Waits (handling notifications) until pred holds; false after limit_ms.
  bool Wait_Until(const std::function<bool()>& pred, unsigned limit_ms = 3000) {
    const std::uint64_t deadline = platform::Monotonic_Ms() + limit_ms;
    while (!pred()) {
      if (platform::Monotonic_Ms() >= deadline) return false;
      platform::Pump_Messages();
      platform::Wait_Message(2);
    }
    return true;
  }

  // Answers each packet the PC sends for which answer gives bytes.
  void Answer_With(std::function<Bytes(const Bytes& sent)> answer) {
    fake_.Set_Responder([answer](testsupport::FakeChannel& fake, const Bytes& sent) {
      Bytes reply = answer(sent);
      if (!reply.empty()) fake.Feed(reply);
    });
  }

  std::string Error_Log() const {
    std::ifstream in(dir_ / "error.log", std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  std::string Work_Path(const std::string& name) const { return (dir_ / name).string(); }
  // The same file as a PC path on drive C: (mapped to the root folder).
  std::string Pc_Path(const std::string& name) const {
    std::string p = "C:" + (dir_ / name).string();
    std::replace(p.begin(), p.end(), '/', '\\');
    return p;
  }

  void Write_File(const std::string& name, const std::string& content) const {
    std::ofstream out(dir_ / name, std::ios::binary);
    out << content;
  }

  std::vector<Bytes> Sent() const { return fake_.Sent_Packets(); }

  struct Box {
    std::string text, caption;
    unsigned flags;
  };
  std::vector<Box> Boxes() {
    std::lock_guard<std::mutex> lock(box_mutex_);
    return boxes_;
  }

  std::filesystem::path dir_;
  StatusTarget target_;
  testsupport::FakeChannel fake_{2};
  RS232_ROX engine_;
  std::function<void()> while_running_;
  platform::HWND saved_window_ = nullptr;
  std::mutex box_mutex_;
  std::vector<Box> boxes_;
};

}  // namespace session_test
