// Control requests: what is accepted, the replies' shape, and the check of a
// command line with the engine's translator.
#include "app/server/control.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

namespace {

using json = nlohmann::json;

TEST(ControlRequest, ParsesTheFourRequestsAndRefusesTheRest) {
  ControlRequest r;
  std::string why;
  ASSERT_TRUE(Parse_Control_Request(R"({"version":1,"request":"status"})", &r, &why)) << why;
  EXPECT_EQ(r.request, "status");
  ASSERT_TRUE(Parse_Control_Request(R"({"request":"run","ht":3,"line":"/1/P hi"})", &r, &why)) << why;
  EXPECT_EQ(r.ht, 3);
  EXPECT_EQ(r.line, "/1/P hi");
  ASSERT_TRUE(Parse_Control_Request(R"({"request":"abort","ht":255})", &r, &why)) << why;
  ASSERT_TRUE(Parse_Control_Request(R"({"request":"watch"})", &r, &why)) << why;

  for (const char* bad : {"", "not json", "[1,2]", R"({"request":"format"})", R"({"request":7})",
                          R"({"request":"run","ht":3})", R"({"request":"run","ht":0,"line":"/B"})",
                          R"({"request":"abort","ht":256})", R"({"request":"abort","ht":"3"})",
                          R"({"request":"abort"})", R"({"version":2,"request":"status"})",
                          R"({"version":"1","request":"status"})"}) {
    why.clear();
    EXPECT_FALSE(Parse_Control_Request(bad, &r, &why)) << bad;
    EXPECT_FALSE(why.empty()) << bad;
  }
}

TEST(ControlReply, RepliesAreJsonWithTheStationFields) {
  StationStatus s;
  s.ht = 3;
  s.address = "127.0.0.3";
  s.state = "busy";
  s.direction = "send";
  s.file = "C:\\\xff.DAT";  // not UTF-8: replaced, never an exception
  s.percent = 45;
  const json status = json::parse(Status_Reply("TCP/IP", {s}));
  EXPECT_EQ(status["ok"], true);
  EXPECT_EQ(status["version"], kControlVersion);
  ASSERT_EQ(status["stations"].size(), 1u);
  EXPECT_EQ(status["stations"][0]["ht"], 3);
  EXPECT_EQ(status["stations"][0]["percent"], 45);
  EXPECT_EQ(status["stations"][0]["last_code"], -1);
  EXPECT_EQ(json::parse(Status_Reply("SCSI", {}))["stations"].size(), 0u);
  EXPECT_EQ(json::parse(Error_Reply("no \"such\" HT"))["error"], "no \"such\" HT");
  EXPECT_EQ(json::parse(Ok_Reply())["ok"], true);
}

TEST(CheckCommandLine, TheEnginesTranslatorDecides) {
  std::string why;
  for (const char* good : {"/1/P hello", "/1/S C:\\DATA\\A.DAT A:\\", "/P bye", "/1/T", "/1/B", "/1/P \"a b\""})
    EXPECT_EQ(Check_Command_Line(good, &why), 0) << good << ": " << why;
  EXPECT_EQ(Check_Command_Line("/1/P \"unclosed", &why), 37);
  EXPECT_NE(why.find("closing quotation mark"), std::string::npos) << why;
  EXPECT_NE(Check_Command_Line("/Q what", &why), 0);
  EXPECT_NE(why.find("code "), std::string::npos) << why;
  EXPECT_NE(Check_Command_Line("P hello", &why), 0);
  EXPECT_NE(why.find("starts with '/'"), std::string::npos) << why;
  EXPECT_NE(Check_Command_Line("", &why), 0);
  EXPECT_NE(Check_Command_Line(std::string("/1/P a\0b", 8), &why), 0);
  EXPECT_NE(Check_Command_Line("/1/P \x07 forged", &why), 0);
  EXPECT_EQ(Check_Command_Line("/1/P " + std::string(2000, 'x'), &why), 41);
}

}  // namespace
