// The simulated null-modem cable the serial tests and benchmarks run on.
#include <gtest/gtest.h>

#include <thread>

#include "platform/serial_sim.h"

namespace platform {
namespace {

TEST(NullModem, OutputsOfOneEndAreTheInputsOfTheOther) {
  auto line = NullModem::Create(false);
  auto a = line->Open_End(0);
  auto b = line->Open_End(1);
  ASSERT_TRUE(a && b);
  EXPECT_FALSE(line->Open_End(0));  // held

  unsigned lines = 0;
  b->Get_Lines(&lines);
  EXPECT_EQ(lines, 0u);
  a->Set_Lines(kLineDtr, 0);
  b->Get_Lines(&lines);
  EXPECT_EQ(lines & (kLineDsr | kLineCts), unsigned{kLineDsr});
  a->Set_Lines(kLineRts, kLineDtr);
  b->Get_Lines(&lines);
  EXPECT_EQ(lines & (kLineDsr | kLineCts), unsigned{kLineCts});

  // Closing an end drops its outputs.
  a.reset();
  b->Get_Lines(&lines);
  EXPECT_EQ(lines & (kLineDsr | kLineCts), 0u);
}

TEST(NullModem, DataBothWaysAndWakeUps) {
  auto line = NullModem::Create(false);
  auto a = line->Open_End(0);
  auto b = line->Open_End(1);
  SerialConfig no_flow;
  no_flow.rts_cts = false;
  a->Configure(no_flow);
  b->Configure(no_flow);
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    b->Write("hello", 5);
    b->Set_Lines(kLineDtr, 0);
  });
  EXPECT_EQ(a->Wait(kSerialReadable, 0, 0, 5000), static_cast<int>(kSerialReadable));
  char buf[8] = {};
  EXPECT_EQ(a->Read(buf, sizeof buf), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
  EXPECT_GT(a->Wait(0, kLineDsr, 0, 5000) & kSerialLinesChanged, 0);
  writer.join();
  EXPECT_EQ(a->Write("ok", 2), 2);
  EXPECT_EQ(b->Read(buf, sizeof buf), 2);
  EXPECT_EQ(b->Read(buf, sizeof buf), 0);
  EXPECT_EQ(b->Wait(kSerialReadable, 0, 0, 0), 0);
}

TEST(NullModem, FlowControlHoldsTheWriterWhileTheOtherEndsRtsIsOff) {
  auto line = NullModem::Create(false);
  auto a = line->Open_End(0);
  auto b = line->Open_End(1);
  SerialConfig flow;
  flow.rts_cts = true;
  a->Configure(flow);
  EXPECT_EQ(a->Write("x", 1), 0);
  EXPECT_EQ(a->Wait(kSerialWritable, 0, 0, 0), 0);
  b->Set_Lines(kLineRts, 0);
  EXPECT_EQ(a->Wait(kSerialWritable, 0, 0, 0), static_cast<int>(kSerialWritable));
  EXPECT_EQ(a->Write("x", 1), 1);
}

TEST(NullModem, PacedCharactersTakeTheirTimeOnTheWire) {
  auto line = NullModem::Create(true);
  auto a = line->Open_End(0);
  auto b = line->Open_End(1);
  SerialConfig slow;
  slow.baud = 110;  // 8N1: about 91 ms a character
  slow.rts_cts = false;
  a->Configure(slow);
  ASSERT_EQ(a->Write("abcdefghij", 10), 10);
  char buf[16];
  EXPECT_EQ(b->Read(buf, sizeof buf), 0);
  ASSERT_EQ(b->Wait(kSerialReadable, 0, 0, 5000), static_cast<int>(kSerialReadable));
  long first = b->Read(buf, sizeof buf);
  EXPECT_GE(first, 1);
  EXPECT_LT(first, 10);
  // Only the output queue's worth is taken at once.
  std::string big(5000, 'x');
  EXPECT_LT(a->Write(big.data(), big.size()), 5000);
}

TEST(NullModem, InjectedErrorsAndPulledCable) {
  auto line = NullModem::Create(false);
  auto a = line->Open_End(0);
  auto b = line->Open_End(1);
  SerialConfig no_flow;
  no_flow.rts_cts = false;
  a->Configure(no_flow);
  a->Set_Lines(kLineDtr | kLineRts, 0);

  line->Inject(1, LineFault::kFraming);
  a->Write("abc", 3);
  char buf[4] = {};
  ASSERT_EQ(b->Read(buf, sizeof buf), 3);
  EXPECT_NE(buf[0], 'a');
  EXPECT_EQ(std::string(buf + 1, 2), "bc");
  SerialErrorCounts e;
  b->Error_Counts(&e);
  EXPECT_EQ(e.framing, 1u);
  line->Inject(1, LineFault::kParity);
  line->Inject(1, LineFault::kOverrun);  // the later fault replaces the earlier
  a->Write("d", 1);
  b->Read(buf, 1);
  b->Error_Counts(&e);
  EXPECT_EQ(e.overrun, 1u);
  EXPECT_EQ(e.parity, 0u);

  line->Pull_Cable(true);
  unsigned lines = 0;
  b->Get_Lines(&lines);
  EXPECT_EQ(lines & (kLineDsr | kLineCts), 0u);
  EXPECT_EQ(a->Write("lost", 4), 4);
  EXPECT_EQ(b->Read(buf, sizeof buf), 0);
  line->Pull_Cable(false);
  b->Get_Lines(&lines);
  EXPECT_EQ(lines & (kLineDsr | kLineCts), unsigned{kLineDsr | kLineCts});
}

TEST(NullModem, RegisteredNamesOpenLikeDevices) {
  auto line = NullModem::Create(false);
  Serial_Register_Simulated("sim:test", line, 1);
  std::unique_ptr<SerialPort> port;
  SerialOpenFailure why;
  ASSERT_EQ(Serial_Open("sim:test", &port, &why), SERIAL_OK);
  std::unique_ptr<SerialPort> second;
  EXPECT_EQ(Serial_Open("sim:test", &second, &why), SERIAL_BUSY);
  auto other = line->Open_End(0);
  other->Set_Lines(kLineDtr, 0);
  unsigned lines = 0;
  port->Get_Lines(&lines);
  EXPECT_TRUE(lines & kLineDsr);
  Serial_Unregister_Simulated("sim:test");
}

}  // namespace
}  // namespace platform
