#include "platform/msgbox.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(MessageBox, InstalledHandlerGetsArgumentsAndGivesTheAnswer) {
  std::string text, caption;
  unsigned flags = 0;
  platform::Set_Message_Box_Handler([&](const std::string& t, const std::string& c, unsigned f) {
    text = t;
    caption = c;
    flags = f;
    return platform::IDNO;
  });
  EXPECT_EQ(platform::Message_Box("Device.ini Not Found", "tarnel",
                                  platform::MB_YESNO | platform::MB_ICONQUESTION),
            platform::IDNO);
  EXPECT_EQ(text, "Device.ini Not Found");
  EXPECT_EQ(caption, "tarnel");
  EXPECT_EQ(flags, platform::MB_YESNO | platform::MB_ICONQUESTION);

  // An empty handler restores the default, which answers OK.
  platform::Set_Message_Box_Handler(nullptr);
  EXPECT_EQ(platform::Message_Box("text", "caption"), platform::IDOK);
}

}  // namespace
