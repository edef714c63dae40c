// The RS-232C driver against a simulated null-modem cable: the PC's port is
// end 0, the test plays the HT on end 1.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "channel/serial_driver.h"
#include "platform/atomic.h"
#include "platform/serial_sim.h"

namespace {

// A clock that runs 2 s ahead on every reading, for the long waits.
std::atomic<std::uint64_t> g_fake_ms{0};
std::uint64_t Fast_Now() { return g_fake_ms.fetch_add(2000) + 2000; }
void No_Sleep(std::uint32_t) {}
const SerialDriverClock kFastClock = {Fast_Now, No_Sleep};
const SerialDriverClock kRealClockNoPause = {[] { return std::uint64_t(
                                                     std::chrono::duration_cast<std::chrono::milliseconds>(
                                                         std::chrono::steady_clock::now().time_since_epoch())
                                                         .count()); },
                                             No_Sleep};

std::vector<std::string> g_traces;
void Record_Trace(const char* text, void*) { g_traces.emplace_back(text); }

class SerialDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    line_ = platform::NullModem::Create(false);
    platform::Serial_Register_Simulated("sim:com1", line_, 0);
    ::setenv("TARNEL_COM1", "sim:com1", 1);
    saved_settings_ = GSerialSettings;
    saved_interface_ = GInterface;
    GSerialSettings = SerialSettings{0, 5, 0, 0, 3, {}};  // COM1 9600 8N1
    platform::Store(GInterface, 0);
    Set_Serial_Driver_Clock(&kRealClockNoPause);
    g_traces.clear();
    Set_Serial_Trace(Record_Trace, nullptr);
    ht_ = line_->Open_End(1);
    platform::SerialConfig cfg;
    cfg.rts_cts = true;
    ht_->Configure(cfg);
  }
  void TearDown() override {
    Set_Serial_Stopping(false);
    d_.reset();
    Set_Serial_Trace(nullptr, nullptr);
    Set_Serial_Driver_Clock(nullptr);
    GSerialSettings = saved_settings_;
    platform::Store(GInterface, saved_interface_);
    platform::Serial_Unregister_Simulated("sim:com1");
    ::unsetenv("TARNEL_COM1");
  }

  void Ht_Raise() { ht_->Set_Lines(platform::kLineDtr | platform::kLineRts, 0); }

  // Started, listening slot open, the HT connected: the session slot.
  int Connect() {
    EXPECT_EQ(d_.init(), 1);
    const int listener = d_.open();
    EXPECT_EQ(listener, 1);
    Ht_Raise();
    const int s = d_.accept(listener);
    EXPECT_EQ(s, 2);
    return s;
  }

  void Ht_Write(const std::string& s) {
    std::size_t done = 0;
    while (done < s.size()) {
      long w = ht_->Write(s.data() + done, s.size() - done);
      ASSERT_GE(w, 0);
      done += static_cast<std::size_t>(w);
      if (w == 0) ht_->Wait(platform::kSerialWritable, 0, 0, 100);
    }
  }

  std::string Ht_Read(std::size_t n) {
    std::string out;
    char buf[4096];
    while (out.size() < n) {
      if (ht_->Wait(platform::kSerialReadable, 0, 0, 5000) <= 0) break;
      long r = ht_->Read(buf, std::min(sizeof buf, n - out.size()));
      if (r <= 0) break;
      out.append(buf, static_cast<std::size_t>(r));
    }
    return out;
  }

  unsigned Ht_Lines() {
    unsigned l = 0;
    ht_->Get_Lines(&l);
    return l;
  }

  struct Driver {
    const ChannelDriver& t = Serial_Channel_Driver();
    int init() { return t.init(); }
    int open() { return t.open(); }
    int listen(int s) { return t.listen(s, 1); }
    int accept(int s) { return t.accept(s); }
    long send(int s, const std::string& d) {
      std::string copy = d;
      return t.send(s, reinterpret_cast<unsigned char*>(copy.data()), static_cast<std::uint32_t>(copy.size()));
    }
    long recv(int s, std::string* out, std::uint32_t n, int flags) {
      out->assign(n, '\0');
      long r = t.recv(s, reinterpret_cast<unsigned char*>(out->data()), n, flags);
      out->resize(r > 0 ? static_cast<std::size_t>(r) : 0);
      return r;
    }
    int close(int s, unsigned char mode) { return t.close(s, mode); }
    void reset() { t.reset(); }
  } d_;

  std::shared_ptr<platform::NullModem> line_;
  std::unique_ptr<platform::SerialPort> ht_;
  SerialSettings saved_settings_{};
  int saved_interface_ = -1;
};

TEST_F(SerialDriver, SlotsListenAndLines) {
  ASSERT_EQ(d_.init(), 1);
  EXPECT_EQ(d_.open(), 1);
  EXPECT_EQ(d_.open(), 2);
  EXPECT_EQ(d_.open(), SER_NO_SLOT);
  // The PC raised DTR and RTS on open.
  EXPECT_EQ(Ht_Lines() & (platform::kLineDsr | platform::kLineCts),
            unsigned{platform::kLineDsr | platform::kLineCts});
  EXPECT_EQ(d_.listen(1), 0);  // no HT
  Ht_Raise();
  int seen = 0;
  for (int i = 0; i < 100 && seen == 0; ++i) {
    seen = d_.listen(1);
    if (seen == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(seen, 1);
  EXPECT_EQ(d_.listen(3), SER_BAD_SLOT);
  EXPECT_EQ(d_.close(2, 0), 1);
  EXPECT_EQ(d_.close(2, 0), SER_SLOT_FREE);
  // Close drops RTS and DTR; the next Listen raises them again.
  EXPECT_EQ(Ht_Lines() & platform::kLineDsr, 0u);
  d_.listen(1);
  EXPECT_TRUE(Ht_Lines() & platform::kLineDsr);
}

TEST_F(SerialDriver, ADeviceNamedInPortIsOpenedInsteadOfTheComDevice) {
  // TARNEL_COM1 names nothing that exists; the device in the settings does.
  platform::Serial_Unregister_Simulated("sim:com1");
  platform::Serial_Register_Simulated("/dev/ttyTARNELTEST0", line_, 0);
  std::snprintf(GSerialSettings.device, sizeof GSerialSettings.device, "%s", "/dev/ttyTARNELTEST0");
  ASSERT_EQ(d_.init(), 1);
  EXPECT_EQ(d_.open(), 1);
  EXPECT_EQ(Ht_Lines() & platform::kLineDsr, unsigned{platform::kLineDsr});
  d_.reset();
  platform::Serial_Unregister_Simulated("/dev/ttyTARNELTEST0");
  platform::Serial_Register_Simulated("sim:com1", line_, 0);
}

TEST_F(SerialDriver, AcceptWithoutDsrGivesUpAfterThirtySeconds) {
  ASSERT_EQ(d_.init(), 1);
  const int listener = d_.open();
  Set_Serial_Driver_Clock(&kFastClock);
  const std::uint64_t start = g_fake_ms.load();
  EXPECT_EQ(d_.accept(listener), SER_TIMEOUT);
  const std::uint64_t spent = g_fake_ms.load() - start;
  EXPECT_GE(spent, 29999u);
  EXPECT_LE(spent, 36000u);
}

TEST_F(SerialDriver, CloseGivesTheHtElevenSecondsToDropItsLine) {
  const int s = Connect();
  Set_Serial_Driver_Clock(&kFastClock);
  const std::uint64_t start = g_fake_ms.load();
  EXPECT_EQ(d_.close(s, 1), 1);
  const std::uint64_t spent = g_fake_ms.load() - start;
  EXPECT_GE(spent, 11000u);
  EXPECT_LE(spent, 16000u);
  EXPECT_EQ(Ht_Lines() & (platform::kLineDsr | platform::kLineCts), 0u);
}

TEST_F(SerialDriver, TimeLimitsGrowWithLengthAndFallWithRate) {
  EXPECT_EQ(Serial_Time_Limit_Ms(5, 2032), 62032u);  // 9600 baud
  EXPECT_EQ(Serial_Time_Limit_Ms(0, 16), 61024u);    // 110 baud
  EXPECT_EQ(Serial_Time_Limit_Ms(9, 7), 60000u);     // 115200, under 8 bytes
  EXPECT_EQ(Serial_Time_Limit_Ms(8, 65535), Serial_Time_Limit_Ms(9, 65535));
}

TEST_F(SerialDriver, PollLookAheadFeedsTheNextBlockingReads) {
  const int s = Connect();
  std::string got;
  EXPECT_EQ(d_.recv(s, &got, 7, 1), 0);  // nothing there yet
  Ht_Write("ABCDEFG");
  ASSERT_EQ(d_.recv(s, &got, 7, 1), 7);
  EXPECT_EQ(got, "ABCDEFG");
  ASSERT_EQ(d_.recv(s, &got, 5, 0), 5);
  EXPECT_EQ(got, "ABCDE");
  ASSERT_EQ(d_.recv(s, &got, 2, 0), 2);
  EXPECT_EQ(got, "FG");

  // A second poll throws away what the first one took.
  Ht_Write("abc");
  ASSERT_EQ(d_.recv(s, &got, 3, 1), 3);
  Ht_Write("xyz");
  ASSERT_EQ(d_.recv(s, &got, 3, 1), 3);
  ASSERT_EQ(d_.recv(s, &got, 3, 0), 3);
  EXPECT_EQ(got, "xyz");

  // Look-ahead shorter than the request: the rest comes from the line.
  Ht_Write("12");
  ASSERT_EQ(d_.recv(s, &got, 2, 1), 2);
  Ht_Write("345");
  ASSERT_EQ(d_.recv(s, &got, 5, 0), 5);
  EXPECT_EQ(got, "12345");

  EXPECT_EQ(d_.recv(s, &got, 11, 1), SER_BAD_SLOT);
  EXPECT_EQ(d_.recv(s, &got, 4, -1), SER_BAD_SLOT);
}

TEST_F(SerialDriver, WholeBuffersBothWays) {
  const int s = Connect();
  std::string big(60000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + 3);
  std::string echoed;
  std::thread ht([&] {
    echoed = Ht_Read(big.size());
    Ht_Write(echoed);
  });
  EXPECT_EQ(d_.send(s, big), 60000);
  std::string got;
  EXPECT_EQ(d_.recv(s, &got, 60000, 0), 60000);
  ht.join();
  EXPECT_TRUE(echoed == big);
  EXPECT_TRUE(got == big);
}

TEST_F(SerialDriver, DroppedDsrEndsReceiveAndSend) {
  const int s = Connect();
  std::thread drop([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ht_->Set_Lines(0, platform::kLineDtr);
  });
  std::string got;
  EXPECT_EQ(d_.recv(s, &got, 100, 0), SER_DSR_OFF);
  drop.join();
  EXPECT_EQ(d_.send(s, "x"), SER_DSR_OFF);
  EXPECT_EQ(d_.recv(s, &got, 1, 1), SER_DSR_OFF);
}

TEST_F(SerialDriver, PulledCableMidTransfer) {
  const int s = Connect();
  Ht_Write("half a bl");
  std::thread pull([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    line_->Pull_Cable(true);
  });
  std::string got;
  EXPECT_EQ(d_.recv(s, &got, 2032, 0), SER_DSR_OFF);
  pull.join();
}

TEST_F(SerialDriver, LineErrorInABlockIsReportedWithItsCode) {
  const int s = Connect();
  line_->Inject(0, platform::LineFault::kFraming);
  Ht_Write("0123456789");
  std::string got;
  EXPECT_EQ(d_.recv(s, &got, 10, 0), SER_LINE_ERROR);
  ASSERT_FALSE(g_traces.empty());
  EXPECT_EQ(g_traces.back(), "COM1 line error <CE-8>");
  // The error state was cleared: the line goes on.
  Ht_Write("ok");
  EXPECT_EQ(d_.recv(s, &got, 2, 0), 2);
}

TEST_F(SerialDriver, OpenFailuresAreTracedOncePerReason) {
  ::setenv("TARNEL_COM1", "/nonexistent/tty", 1);
  ASSERT_EQ(d_.init(), 1);
  EXPECT_EQ(d_.open(), 0);
  EXPECT_EQ(d_.open(), 0);  // the slot was given back: still 0, not -8
  EXPECT_EQ(d_.open(), 0);
  ASSERT_EQ(g_traces.size(), 1u);
  EXPECT_NE(g_traces[0].find("/nonexistent/tty"), std::string::npos);
  EXPECT_NE(g_traces[0].find("No such file"), std::string::npos);
  ::setenv("TARNEL_COM1", "sim:com1", 1);
  EXPECT_EQ(d_.open(), 1);
  EXPECT_EQ(g_traces.size(), 2u);  // "opened" after the failures
}

TEST_F(SerialDriver, SettingsLinuxCannotTakeAreRefusedAtStart) {
  GSerialSettings.stop_code = 1;  // 1.5 stop bits
  EXPECT_EQ(d_.init(), CH_BAD_STOP);
  GSerialSettings.stop_code = 0;
  GSerialSettings.baud_code = 10;
  EXPECT_EQ(d_.init(), CH_BAD_BAUD);
}

TEST_F(SerialDriver, CallsOnAPortThatIsNotRunning) {
  std::string got;
  EXPECT_EQ(d_.recv(1, &got, 1, 0), SER_SLOT_FREE);
  ASSERT_EQ(d_.init(), 1);
  EXPECT_EQ(d_.accept(1), SER_SLOT_FREE);
  EXPECT_EQ(d_.send(0, "x"), SER_BAD_SLOT);
}

}  // namespace

namespace {

// Sends that follow each other faster than the line carries them must all
// arrive: a send must not throw away what the previous one left queued.
TEST_F(SerialDriver, BackToBackSendsOnAPacedLineLoseNothing) {
  line_ = platform::NullModem::Create(true);
  platform::Serial_Register_Simulated("sim:com1", line_, 0);
  ht_ = line_->Open_End(1);
  platform::SerialConfig cfg;
  cfg.baud = 115200;
  ht_->Configure(cfg);
  GSerialSettings.baud_code = 9;
  const int s = Connect();
  std::string expect;
  for (int i = 0; i < 4; ++i) {
    std::string block(2000, static_cast<char>('a' + i));
    expect += block;
    ASSERT_EQ(d_.send(s, block), 2000);
  }
  EXPECT_TRUE(Ht_Read(expect.size()) == expect);
}

std::uint64_t Ms_Since(std::chrono::steady_clock::time_point t0) {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count());
}

// A link that stops is not held by a silent HT: each wait gives up within a
// slice (the limits here are 60 and 11 seconds), while what has arrived is
// still delivered; once the stop is over the waits are whole again.
TEST_F(SerialDriver, StoppingEndsTheWaitsButNotTheData) {
  const int s = Connect();
  std::string got;
  auto t0 = std::chrono::steady_clock::now();
  std::thread stopper([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Set_Serial_Stopping(true);
  });
  EXPECT_EQ(d_.recv(s, &got, 7, 0), SER_TIMEOUT);
  stopper.join();
  EXPECT_LT(Ms_Since(t0), 5000u) << "the receive waited for its time limit";

  // Bytes that are there are still taken, and a send that fits goes out.
  Ht_Write("abc");
  ASSERT_EQ(d_.recv(s, &got, 3, 0), 3);
  EXPECT_EQ(got, "abc");
  ASSERT_EQ(d_.send(s, "end"), 3);
  EXPECT_EQ(Ht_Read(3), "end");

  // A send held back by the HT's flow control gives up.
  ht_->Set_Lines(0, platform::kLineRts);
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(d_.send(s, "x"), SER_TIMEOUT);
  EXPECT_LT(Ms_Since(t0), 5000u);
  ht_->Set_Lines(platform::kLineRts, 0);

  // Cleared: a receive waits for bytes that come later.
  Set_Serial_Stopping(false);
  std::thread writer([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Ht_Write("late");
  });
  EXPECT_EQ(d_.recv(s, &got, 4, 0), 4);
  writer.join();
  EXPECT_EQ(got, "late");

  // Close gives an HT that keeps DSR on half a second, not eleven.
  Set_Serial_Stopping(true);
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(d_.close(s, 1), 1);
  const std::uint64_t spent = Ms_Since(t0);
  EXPECT_GE(spent, 400u);
  EXPECT_LT(spent, 5000u);
  EXPECT_EQ(Ht_Lines() & platform::kLineDsr, 0u);
}

}  // namespace
