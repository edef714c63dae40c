#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "channel_fixture.h"

namespace channel_test {
namespace {

using Calls = std::vector<std::string>;
using Dispatch = ChannelTest;

TEST_F(Dispatch, EachOperationReachesTheSelectedDriverWithItsArguments) {
  unsigned char buf[300] = {};
  GInterface = 2;
  driver_.Set_Result("send", 300);
  EXPECT_EQ(Open(), 0);
  EXPECT_EQ(Bind(3, 5), 0);
  EXPECT_EQ(Connect(3, 9), 0);
  EXPECT_EQ(Listen(3, 1), 0);
  EXPECT_EQ(Accept(3), 0);
  EXPECT_EQ(HandShake_Accept(8), 0);
  EXPECT_EQ(HandShake_Connect(8), 0);
  EXPECT_EQ(Send(8, buf, 300), 300);
  EXPECT_EQ(Recv(8, buf, 65535, 1), 0);
  EXPECT_EQ(Close(8, 33), 0);
  EXPECT_EQ(Reset_Channels(), 0);
  EXPECT_EQ(driver_.Calls(),
            (Calls{"tcp:open()", "tcp:bind(3,5)", "tcp:connect(3,9)", "tcp:listen(3,1)",
                   "tcp:accept(3)", "tcp:handshake_accept(8)", "tcp:handshake_connect(8)",
                   "tcp:send(8,300)", "tcp:recv(8,65535,1)", "tcp:close(8,33)", "tcp:reset()"}));
}

TEST_F(Dispatch, DriverResultsComeBackUnchanged) {
  unsigned char buf[4] = {};
  GInterface = 1;
  driver_.Set_Result("open", 1);
  driver_.Set_Result("listen", -7);
  driver_.Set_Result("accept", 3);
  driver_.Set_Result("recv", -5);
  driver_.Set_Result("close", -51);
  EXPECT_EQ(Open(), 1);
  EXPECT_EQ(Listen(1, 7), -7);
  EXPECT_EQ(Accept(1), 3);
  EXPECT_EQ(Recv(3, buf, 4, 0), -5);
  EXPECT_EQ(Close(3, 1), -51);
}

TEST_F(Dispatch, BindConnectAndHandshakesActOnlyOnTcpIp) {
  for (int gi : {0, 1, -1, 3}) {
    GInterface = gi;
    driver_.Set_Result("bind", -9);
    EXPECT_EQ(Bind(0, 0), 0) << gi;
    EXPECT_EQ(Connect(1, 2), 0) << gi;
    EXPECT_EQ(HandShake_Accept(1), 0) << gi;
    EXPECT_EQ(HandShake_Connect(1), 0) << gi;
  }
  EXPECT_TRUE(driver_.Calls().empty());
}

TEST_F(Dispatch, ListenBacklogLimitsPerInterface) {
  const int maximum[3] = {1, 7, 255};
  for (int gi = 0; gi < 3; ++gi) {
    GInterface = gi;
    driver_.Clear();
    EXPECT_EQ(Listen(1, 0), CH_BAD_ARGUMENT);
    EXPECT_EQ(Listen(1, -1), CH_BAD_ARGUMENT);
    EXPECT_EQ(Listen(0, 1), CH_BAD_ARGUMENT);
    EXPECT_EQ(Listen(1, maximum[gi] + 1), CH_BAD_ARGUMENT);
    EXPECT_TRUE(driver_.Calls().empty()) << gi;
    EXPECT_EQ(Listen(1, maximum[gi]), 0);
    EXPECT_EQ(driver_.Calls().size(), 1u);
  }
}

TEST_F(Dispatch, BadArgumentsNeverReachADriver) {
  unsigned char buf[8] = {};
  for (int gi = 0; gi < 3; ++gi) {
    GInterface = gi;
    EXPECT_EQ(Send(1, buf, 0), CH_BAD_ARGUMENT);
    EXPECT_EQ(Send(1, nullptr, 5), CH_BAD_ARGUMENT);
    EXPECT_EQ(Send(0, buf, 5), CH_BAD_ARGUMENT);
    EXPECT_EQ(Recv(0, buf, 5, 0), CH_BAD_ARGUMENT);
    EXPECT_EQ(Recv(1, buf, 0, 1), CH_BAD_ARGUMENT);
    EXPECT_EQ(Recv(1, nullptr, 5, 0), CH_BAD_ARGUMENT);
    EXPECT_EQ(Close(-3, 1), CH_BAD_ARGUMENT);
    EXPECT_EQ(Close(0, 1), CH_BAD_ARGUMENT);
    EXPECT_EQ(Accept(0), CH_BAD_ARGUMENT);
  }
  EXPECT_TRUE(driver_.Calls().empty());
}

TEST_F(Dispatch, NoInterfaceSelected) {
  unsigned char buf[8] = {};
  for (int gi : {-1, 3}) {
    GInterface = gi;
    EXPECT_EQ(Open(), CH_NO_INTERFACE);
    EXPECT_EQ(Listen(1, 1), CH_NO_INTERFACE);
    EXPECT_EQ(Accept(1), CH_NO_INTERFACE);
    EXPECT_EQ(Send(1, buf, 8), CH_NO_INTERFACE);
    EXPECT_EQ(Recv(1, buf, 8, 0), CH_NO_INTERFACE);
    EXPECT_EQ(Close(1, 1), CH_NO_INTERFACE);
    EXPECT_EQ(Reset_Channels(), CH_NO_INTERFACE);
    // Argument checks still come first.
    EXPECT_EQ(Send(1, buf, 0), CH_BAD_ARGUMENT);
    EXPECT_EQ(Listen(1, 0), CH_BAD_ARGUMENT);
  }
  EXPECT_TRUE(driver_.Calls().empty());
}

}  // namespace
}  // namespace channel_test
