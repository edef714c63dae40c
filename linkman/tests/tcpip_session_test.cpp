// The TCP/IP link manager against a scripted driver and scripted engines.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/rox32.h"
#include "linkman/testing.h"
#include "linkman/tests/fake_net.h"
#include "linkman/tether32.h"
#include "platform/atomic.h"
#include "platform/clock.h"
#include "platform/msgbox.h"
#include "platform/socket.h"
#include "tcpip/netport.h"
#include "testsupport/recording_target.h"

namespace {

using fakenet::Behaviour;
using fakenet::Eventually;

int Mark(int n) { return platform::Load(TCPIP_Connections[n]); }
int Count() { return platform::Load(TCPIP_Connections[TCPIP_COUNT_INDEX]); }

class TcpipSession : public ::testing::Test {
 protected:
  void SetUp() override {
    fakenet::Install();
    fakenet::Reset_Scripts();
    fakenet::Use_Scripted_Runner();
    tether::Set_Listen_Pause_Ms(5);
    HandleForTetherToMainWindow = &window_;
    HandleForROXToMainWindow = &window_;
    for (int& v : TCPIP_Connections) platform::Store(v, 0);
    for (int n = 1; n <= MAX_HT; ++n) {
      std::memset(&Info_Of(n), 0, sizeof(InfoHT));
      Clear_Command_Buffer(n);
    }
    platform::Set_Message_Box_Handler([this](const std::string& text, const std::string&, unsigned) {
      std::lock_guard<std::mutex> lock(log_mu_);
      log_.push_back(text);
      return platform::IDOK;
    });
  }

  void TearDown() override {
    if (Session_Running(LINK_TCPIP)) Stop_A_Session(LINK_TCPIP, 0);
    EXPECT_EQ(End_Remaining_Sessions(10000), 0);
    HandleForTetherToMainWindow = nullptr;
    HandleForROXToMainWindow = nullptr;
    tether::Set_Listen_Pause_Ms(1000);
    fakenet::Restore_Runner();
    fakenet::Uninstall();
    platform::Set_Message_Box_Handler({});
  }

  // The lines the link manager logged that contain needle.
  std::vector<std::string> Logged(const std::string& needle) {
    std::lock_guard<std::mutex> lock(log_mu_);
    std::vector<std::string> out;
    for (const std::string& line : log_)
      if (line.find(needle) != std::string::npos) out.push_back(line);
    return out;
  }

  void Use_Device_Ini(const std::string& ethernet, const std::string& use_ip = "") {
    dir_.reset();
    dir_ = std::make_unique<fakenet::ProgramDir>(fakenet::Device_Ini(ethernet, use_ip));
  }

  // The codes the link manager posted (wParam 0), in order.
  std::vector<long> Link_Codes() {
    platform::Pump_Messages();
    std::vector<long> codes;
    for (const auto& m : window_.Messages())
      if (m.msg == WM_TETHER_STATUS && m.wParam == 0) codes.push_back(static_cast<long>(m.lParam));
    return codes;
  }

  // Waits until HT n's session has ended completely and was uncounted.
  bool Ended(int channel, int n) {
    return Eventually([&] { return fakenet::Close_Mode_Of(channel) >= 0 && Mark(n) == 0 && Count() == 0; });
  }

  testsupport::RecordingTarget window_;
  std::unique_ptr<fakenet::ProgramDir> dir_;
  std::mutex log_mu_;
  std::vector<std::string> log_;
};

TEST_F(TcpipSession, SecondStartAndSecondStopChangeNothing) {
  Use_Device_Ini("PORTNO=5000\r\nMAX_IO=4\r\n");
  ASSERT_EQ(Start_A_Session(LINK_TCPIP, 0), 1);
  EXPECT_EQ(Start_A_Session(LINK_TCPIP, 0), -1);
  EXPECT_EQ(fakenet::State().inits, 1);
  EXPECT_EQ(fakenet::State().opens, 1);
  EXPECT_EQ(Mark(TCPIP_MAXIO_INDEX), 4);
  EXPECT_EQ(Stop_A_Session(LINK_TCPIP, 0), 1);
  EXPECT_EQ(Stop_A_Session(LINK_TCPIP, 0), -1);
  EXPECT_TRUE(Link_Codes().empty());
  // Unknown types are refused.
  EXPECT_EQ(Start_A_Session(7, 0), -1);
}

TEST_F(TcpipSession, StartFailuresPostTheirCodeAndResetWhatWasStarted) {
  // No device.ini: the channel layer does not start.
  dir_ = std::make_unique<fakenet::ProgramDir>("");
  EXPECT_EQ(Start_A_Session(LINK_TCPIP, 0), -1);
  EXPECT_EQ(Link_Codes(), std::vector<long>{78});
  EXPECT_EQ(fakenet::Resets(), 0);

  Use_Device_Ini("PORTNO=5000\r\n");
  window_.Clear();
  fakenet::State().open_result = -1;
  EXPECT_EQ(Start_A_Session(LINK_TCPIP, 0), -1);
  EXPECT_EQ(Link_Codes(), std::vector<long>{79});
  EXPECT_EQ(fakenet::Resets(), 1);

  window_.Clear();
  fakenet::State().open_result = 5;
  fakenet::State().bind_result = -1;
  EXPECT_EQ(Start_A_Session(LINK_TCPIP, 0), -1);
  EXPECT_EQ(Link_Codes(), std::vector<long>{96});
  EXPECT_EQ(fakenet::Resets(), 2);
  EXPECT_GE(fakenet::Close_Mode_Of(5), 0);
  EXPECT_EQ(Session_Running(LINK_TCPIP), 0);

  // Nothing was left running: the next start works.
  fakenet::State().bind_result = 0;
  EXPECT_EQ(Start_A_Session(LINK_TCPIP, 0), 1);
}

TEST_F(TcpipSession, EndingCodeChoosesCloseModeAndWhatIsCleared) {
  Use_Device_Ini("PORTNO=5000\r\nMAX_IO=4\r\n");
  ASSERT_EQ(Start_A_Session(LINK_TCPIP, 0), 1);
  struct Case {
    short ending;
    std::uint32_t repeat;
    int close_mode;
    bool buffer_kept;
  };
  const Case cases[] = {
      {72, 1, 0, true},   // the HT ended the session itself
      {73, 1, 1, true},   // the command stays for the HT's next session
      {29, 1, 1, false},  // aborted: the command goes even when it repeats
      {75, 1, 1, false},  // command time-out: likewise
      {73, 0, 1, false},  // a run-once command
  };
  int channel = 20;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "ending " << c.ending << " repeat " << c.repeat);
    ++channel;
    fakenet::Script& s = fakenet::Script_For(4);
    s.ending.store(c.ending);
    s.repeat.store(c.repeat);
    Write_Command_Buffer(4, "S C:\\DATA\\X.DAT");
    platform::Store(Info_Of(4).BusyFlag, 1);
    Set_Abort_From_GUI(4, 1);
    fakenet::Queue_Accept(channel, 4);
    ASSERT_TRUE(Ended(channel, 4));
    EXPECT_EQ(fakenet::Close_Mode_Of(channel), c.close_mode);
    EXPECT_EQ(!Command_Buffer_Empty(4), c.buffer_kept);
    EXPECT_EQ(platform::Load(Info_Of(4).BusyFlag), 0);
    EXPECT_EQ(platform::Load(Info_Of(4).AbortFromGUI), 0);
    EXPECT_EQ(s.channel.load(), channel);
  }
  EXPECT_EQ(fakenet::Script_For(4).calls.load(), 5);
  EXPECT_EQ(fakenet::State().handshakes.size(), 5u);
}

TEST_F(TcpipSession, DriverRefusalsKeepListeningButAcceptFailureEndsTheListener) {
  Use_Device_Ini("PORTNO=5000\r\nMAX_IO=4\r\n");
  ASSERT_EQ(Start_A_Session(LINK_TCPIP, 0), 1);
  fakenet::Queue_Accept(SO_NO_STATION, 0);
  fakenet::Queue_Accept(SO_TABLE_FULL, 0);
  fakenet::Queue_Accept(31, 2);
  ASSERT_TRUE(Ended(31, 2));
  EXPECT_EQ(Mark(0), 0);  // station 0 never indexes anything
  EXPECT_TRUE(Link_Codes().empty());
  EXPECT_EQ(fakenet::Resets(), 0);

  fakenet::Queue_Accept(-1, 0);
  ASSERT_TRUE(Eventually([&] { return Link_Codes() == std::vector<long>{81}; }));
  EXPECT_EQ(fakenet::Resets(), 1);
  // The listener ended by itself; the stop does not wait for it (a stop
  // that did would never return). The bound only catches that hang; it is
  // far above what a loaded or instrumented build needs.
  const std::uint64_t start = platform::Monotonic_Ms();
  EXPECT_EQ(Stop_A_Session(LINK_TCPIP, 0), 1);
  EXPECT_LT(platform::Monotonic_Ms() - start, 60000u);
}

TEST_F(TcpipSession, ListenErrorPostsAndEndsTheListener) {
  Use_Device_Ini("PORTNO=5000\r\n");
  fakenet::State().listen_when_empty = -1;
  ASSERT_EQ(Start_A_Session(LINK_TCPIP, 0), 1);
  ASSERT_TRUE(Eventually([&] { return Link_Codes() == std::vector<long>{80}; }));
  EXPECT_GE(fakenet::Close_Mode_Of(5), 0);
  EXPECT_EQ(Session_Running(LINK_TCPIP), 1);  // until the operator stops it
  EXPECT_EQ(Stop_A_Session(LINK_TCPIP, 0), 1);
}

TEST_F(TcpipSession, SecondConnectionOfABusyHtIsDroppedNotGivenASecondEngine) {
  Use_Device_Ini("PORTNO=5000\r\nMAX_IO=4\r\n", "3=127.0.0.3\r\n");
  ASSERT_EQ(Start_A_Session(LINK_TCPIP, 0), 1);
  fakenet::Script& s = fakenet::Script_For(3);
  s.behaviour.store(Behaviour::Busy);
  fakenet::Queue_Accept(41, 3);
  ASSERT_TRUE(Eventually([&] { return platform::Load(Info_Of(3).BusyFlag) == 1; }));
  fakenet::Queue_Accept(42, 3);
  ASSERT_TRUE(Eventually([&] { return fakenet::Close_Mode_Of(42) >= 0; }));
  EXPECT_EQ(fakenet::Close_Mode_Of(42), 33);
  EXPECT_EQ(s.calls.load(), 1);
  EXPECT_EQ(Mark(3), 1);
  EXPECT_EQ(Count(), 1);
  EXPECT_EQ(fakenet::Close_Mode_Of(41), -1) << "the busy session goes on";
  EXPECT_EQ(platform::Load(Info_Of(3).AbortFromGUI), 0) << "and is not asked to end";
  ASSERT_EQ(Logged("127.0.0.3").size(), 1u);
  EXPECT_NE(Logged("127.0.0.3")[0].find("busy"), std::string::npos) << Logged("127.0.0.3")[0];

  // The operator aborts the busy session; the HT's next connection arrives
  // before that session has ended (its engine still delivers its last
  // status): it waits for the end and is served.
  s.behaviour.store(Behaviour::End);
  Set_Abort_From_GUI(3, 1);
  fakenet::Queue_Accept(43, 3);
  platform::Sleep_Ms(200);  // no messages dispatched: the old engine cannot end yet
  ASSERT_TRUE(Eventually([&] { return s.calls.load() == 2; }));
  EXPECT_EQ(s.channel.load(), 43);
  EXPECT_EQ(fakenet::Close_Mode_Of(41), 1);
  ASSERT_TRUE(Ended(43, 3));
  EXPECT_NE(fakenet::Close_Mode_Of(43), 33) << "not turned away";
  EXPECT_EQ(Logged("127.0.0.3").size(), 2u);
}

TEST_F(TcpipSession, HtThatComesBackWhileItsSessionWaitsForACommandIsServedAgain) {
  // An idle engine never reads its connection: without this, an HT that was
  // switched off while idle stayed locked out as long as its engine waited
  // (with no command time-out, for ever).
  Use_Device_Ini("PORTNO=5000\r\nMAX_IO=4\r\n", "3=127.0.0.3\r\n");
  ASSERT_EQ(Start_A_Session(LINK_TCPIP, 0), 1);
  fakenet::Script& s = fakenet::Script_For(3);
  s.behaviour.store(Behaviour::Idle);
  fakenet::Queue_Accept(41, 3);
  ASSERT_TRUE(Eventually([&] { return platform::Load(Info_Of(3).WaitingGUICommand) == 1; }));
  fakenet::Queue_Accept(42, 3);
  ASSERT_TRUE(Eventually([&] { return s.calls.load() == 2 && s.channel.load() == 42; }));
  EXPECT_EQ(fakenet::Close_Mode_Of(41), 1) << "the old session ended as an abort ends it";
  EXPECT_EQ(fakenet::Close_Mode_Of(42), -1) << "the new connection is served";
  EXPECT_EQ(platform::Load(Info_Of(3).AbortFromGUI), 0) << "the new engine is not asked to end";
  EXPECT_EQ(Mark(3), 1);
  EXPECT_EQ(Count(), 1) << "it takes the old one's place";
  EXPECT_EQ(fakenet::State().handshakes.size(), 2u);
  ASSERT_EQ(Logged("127.0.0.3").size(), 1u);
  EXPECT_NE(Logged("127.0.0.3")[0].find("HT 3"), std::string::npos) << Logged("127.0.0.3")[0];
  EXPECT_TRUE(Link_Codes().empty());

  s.release.store(true);
  ASSERT_TRUE(Ended(42, 3));
}

TEST_F(TcpipSession, PassingAcceptFailuresPauseTheListenerButLeaveTheHtsAndTheLinkAlone) {
  // Once any accept failure (a low open-files limit) ended the listener,
  // reset the driver and cut every connected HT.
  Use_Device_Ini("PORTNO=5000\r\nMAX_IO=4\r\n");
  ASSERT_EQ(Start_A_Session(LINK_TCPIP, 0), 1);
  fakenet::Script_For(1).behaviour.store(Behaviour::Idle);
  fakenet::Queue_Accept(61, 1);
  ASSERT_TRUE(Eventually([&] { return platform::Load(Info_Of(1).WaitingGUICommand) == 1; }));

  for (int i = 0; i < 100; ++i) fakenet::Queue_Accept(SO_ACCEPT_AGAIN, 0);
  const int before = fakenet::Accept_Calls();
  platform::Sleep_Ms(1000);
  const int tried = fakenet::Accept_Calls() - before;
  // Pauses of 100, 200, 400, 800 ms: about four tries in the first second.
  EXPECT_GE(tried, 2);
  EXPECT_LE(tried, 8) << "the listener backs off";
  {
    std::lock_guard<std::mutex> lock(fakenet::State().mu);
    fakenet::State().accepts.clear();
  }
  fakenet::Queue_Accept(62, 2);
  ASSERT_TRUE(Eventually([&] { return fakenet::Script_For(2).calls.load() == 1; }, 10000))
      << "a later connection is served";
  EXPECT_TRUE(Link_Codes().empty()) << "no accept error";
  EXPECT_EQ(fakenet::Resets(), 0);
  EXPECT_EQ(fakenet::Close_Mode_Of(61), -1) << "the connected HT goes on";
  EXPECT_EQ(fakenet::Close_Mode_Of(5), -1) << "so does the listening channel";
  EXPECT_EQ(Logged("accepted").size(), 1u) << "one line for the whole run of failures";

  // A later run of failures gets its own line.
  fakenet::Queue_Accept(SO_ACCEPT_AGAIN, 0);
  fakenet::Queue_Accept(SO_NONE_WAITING, 0);
  fakenet::Queue_Accept(63, 3);
  ASSERT_TRUE(Eventually([&] { return fakenet::Script_For(3).calls.load() == 1; }));
  EXPECT_EQ(Logged("accepted").size(), 2u);
  EXPECT_TRUE(Link_Codes().empty());
  fakenet::Script_For(1).release.store(true);
}

TEST_F(TcpipSession, StopAbortsBusyHtsWhileTheirStatusStillReachesTheWindow) {
  Use_Device_Ini("PORTNO=5000\r\nMAX_IO=4\r\n");
  ASSERT_EQ(Start_A_Session(LINK_TCPIP, 0), 1);
  fakenet::Script_For(1).behaviour.store(Behaviour::Busy);
  fakenet::Script_For(2).behaviour.store(Behaviour::Idle);
  Write_Command_Buffer(2, "D C:\\X");
  platform::Store(Info_Of(2).CurrentlySelected, 1);
  fakenet::Queue_Accept(51, 1);
  fakenet::Queue_Accept(52, 2);
  ASSERT_TRUE(Eventually([&] {
    return platform::Load(Info_Of(1).BusyFlag) == 1 && platform::Load(Info_Of(2).WaitingGUICommand) == 1;
  }));

  // The busy engine sends its status synchronously before it ends: the stop
  // must dispatch it while it waits.
  EXPECT_EQ(Stop_A_Session(LINK_TCPIP, 0), 1);
  bool status_seen = false;
  for (const auto& m : window_.Messages())
    if (m.msg == WM_HT_STATUS && m.wParam == 1) status_seen = true;
  EXPECT_TRUE(status_seen);
  EXPECT_TRUE(Eventually([&] { return fakenet::Close_Mode_Of(51) == 1; }));

  // The idle HT was not asked; its records were reset all the same.
  EXPECT_EQ(fakenet::Close_Mode_Of(52), -1);
  EXPECT_EQ(fakenet::Script_For(2).calls.load(), 1);
  EXPECT_EQ(platform::Load(Info_Of(2).WaitingGUICommand), 0);
  EXPECT_EQ(platform::Load(Info_Of(2).CurrentlySelected), 0);
  EXPECT_TRUE(Command_Buffer_Empty(2));

  // At the program's end the remaining engine is asked as well.
  EXPECT_EQ(End_Remaining_Sessions(10000), 0);
  EXPECT_EQ(fakenet::Close_Mode_Of(52), 1);
}

// ---- Refusal beyond MAX_IO, on real loopback sockets ---------------------------

class LoopbackPair {
 public:
  LoopbackPair() {
    listener_ = platform::Tcp_Socket_Open();
    platform::Socket_Bind(listener_, "127.0.0.1", 0);
    platform::Socket_Listen(listener_, 8);
    port_ = static_cast<std::uint16_t>(platform::Socket_Local_Port(listener_));
  }
  ~LoopbackPair() {
    for (int s : clients_) platform::Socket_Close(s);
    platform::Socket_Close(listener_);
  }
  // A connected client socket; *server gets the accepted end.
  int Connect(int* server) {
    int c = platform::Tcp_Socket_Open();
    platform::Socket_Connect(c, "127.0.0.1", port_, nullptr, 2000);
    platform::Socket_Wait(listener_, platform::SocketWait::Readable, 2000);
    *server = platform::Socket_Accept(listener_, nullptr, 0);
    clients_.push_back(c);
    return c;
  }

 private:
  int listener_;
  std::uint16_t port_;
  std::vector<int> clients_;
};

// Reads exactly n bytes within ms; fewer when the peer closed or time ran out.
std::vector<unsigned char> Read_Bytes(int s, std::size_t n, int ms) {
  std::vector<unsigned char> got;
  const std::uint64_t limit = platform::Monotonic_Ms() + ms;
  while (got.size() < n && platform::Monotonic_Ms() < limit) {
    if (platform::Socket_Wait(s, platform::SocketWait::Readable, 50) != 1) continue;
    unsigned char buf[64];
    long r = platform::Socket_Recv(s, buf, std::min(sizeof buf, n - got.size()));
    if (r == 0 || r == platform::SOCKET_FAILED) break;
    if (r > 0) got.insert(got.end(), buf, buf + r);
  }
  return got;
}

bool Peer_Closed(int s, int ms) {
  if (platform::Socket_Wait(s, platform::SocketWait::Readable, ms) != 1) return false;
  unsigned char b;
  return platform::Socket_Recv(s, &b, 1) == 0;
}

TEST_F(TcpipSession, ConnectionBeyondMaxIoIsRefusedUntilASlotHoldsAnIdleHt) {
  Use_Device_Ini("PORTNO=5000\r\nTCP_TIMEOUT=5\r\nMAX_IO=2\r\n");
  ASSERT_EQ(Start_A_Session(LINK_TCPIP, 0), 1);
  LoopbackPair net;
  int server[4];
  int client[4];
  for (int i = 0; i < 4; ++i) client[i] = net.Connect(&server[i]);
  for (int i = 0; i < 4; ++i) {
    std::lock_guard<std::mutex> lock(fakenet::State().mu);
    fakenet::State().real_sockets.insert(server[i]);
  }
  fakenet::Script_For(1).behaviour.store(Behaviour::Busy);
  fakenet::Script_For(2).behaviour.store(Behaviour::Busy);
  fakenet::Queue_Accept(server[0], 1);
  fakenet::Queue_Accept(server[1], 2);
  ASSERT_TRUE(Eventually([&] {
    return platform::Load(Info_Of(1).BusyFlag) == 1 && platform::Load(Info_Of(2).BusyFlag) == 1;
  }));

  // The third gets the refusal message and, after its answer, the end frame.
  fakenet::Queue_Accept(server[2], 3);
  std::vector<unsigned char> message = Read_Bytes(client[2], 31, 5000);
  ASSERT_EQ(message.size(), 31u);
  std::vector<unsigned char> expected(31, 0);
  expected[0] = 0x10;
  expected[2] = 23;
  std::memcpy(expected.data() + 8, "No More Connection 2", 20);
  EXPECT_EQ(message, expected);
  const unsigned char answer[8] = {0x12};
  ASSERT_EQ(platform::Socket_Send(client[2], answer, 8), 8);
  std::vector<unsigned char> end = Read_Bytes(client[2], 8, 5000);
  EXPECT_EQ(end, std::vector<unsigned char>({0x0C, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(Peer_Closed(client[2], 5000));
  EXPECT_TRUE(Eventually([&] { return Mark(3) == 0 && Count() == 2; }));
  EXPECT_EQ(fakenet::Script_For(3).calls.load(), 0);

  // HT 2 has become idle: the next connection takes its place.
  platform::Store(Info_Of(2).BusyFlag, 0);
  fakenet::Queue_Accept(server[3], 4);
  EXPECT_TRUE(Eventually([&] { return fakenet::Script_For(4).calls.load() == 1; }));
  EXPECT_EQ(Stop_A_Session(LINK_TCPIP, 0), 1);
}

TEST_F(TcpipSession, RefusedHtThatNeverAnswersIsDroppedAfterTheTimeout) {
  Use_Device_Ini("PORTNO=5000\r\nTCP_TIMEOUT=1\r\nMAX_IO=0\r\n");
  ASSERT_EQ(Start_A_Session(LINK_TCPIP, 0), 1);
  LoopbackPair net;
  int server;
  int client = net.Connect(&server);
  {
    std::lock_guard<std::mutex> lock(fakenet::State().mu);
    fakenet::State().real_sockets.insert(server);
  }
  fakenet::Queue_Accept(server, 9);
  std::vector<unsigned char> message = Read_Bytes(client, 31, 5000);
  ASSERT_EQ(message.size(), 31u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(message.data()) + 8), "No More Connection 0");
  EXPECT_TRUE(Peer_Closed(client, 5000));
  EXPECT_TRUE(Eventually([&] { return Mark(9) == 0 && Count() == 0; }));
}

}  // namespace
