// The log's three shapes: plain text, text with the journal's priority
// prefixes, and one JSON object per line.
#include "app/server/log_writer.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

namespace {

const platform::LocalTime kWhen{2026, 3, 7, 9, 5, 4, 6, 0};

TEST(LogWriter, TextLinesWithAndWithoutJournalPrefixes) {
  std::ostringstream out;
  LogWriter log(out);
  log.Write(kWhen, LOG_PRIORITY_INFO, "connect", "HT 3 session 0 connected from 127.0.0.3");
  log.Set_Journal_Prefixes(true);
  log.Write(kWhen, LOG_PRIORITY_ERROR, "ending", "HT 3 session 0 ending 38 x");
  log.Write(kWhen, LOG_PRIORITY_WARNING, "refuse", "refused");
  EXPECT_EQ(out.str(),
            "2026-03-07 09:05:04 HT 3 session 0 connected from 127.0.0.3\n"
            "<3>2026-03-07 09:05:04 HT 3 session 0 ending 38 x\n"
            "<4>2026-03-07 09:05:04 refused\n");
}

TEST(LogWriter, ANameWithALineBreakCannotForgeALine) {
  std::ostringstream out;
  LogWriter log(out);
  log.Write(kWhen, LOG_PRIORITY_INFO, "file-start", "sending A\n2026-03-07 09:05:04 stopped");
  EXPECT_EQ(out.str(), "2026-03-07 09:05:04 sending A?2026-03-07 09:05:04 stopped\n");
}

TEST(LogWriter, JsonRecordsParseWithTheirFields) {
  std::ostringstream out;
  LogWriter log(out);
  log.Set_Format(LogFormat::kJson);
  log.Set_Journal_Prefixes(true);  // never in JSON
  log.Write(kWhen, LOG_PRIORITY_INFO, "file-end", "HT 3 sent \"A\"\n",
            {{"ht", std::int64_t{3}}, {"seconds", 0.5}, {"file", std::string("C:\\\xff\"A\".DAT")}});
  log.Write(kWhen, LOG_PRIORITY_ERROR, "link", "link ending 96 Bind Error");
  std::istringstream in(out.str());
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  const nlohmann::json first = nlohmann::json::parse(line);
  EXPECT_EQ(first["time"], "2026-03-07 09:05:04");
  EXPECT_EQ(first["priority"], 6);
  EXPECT_EQ(first["event"], "file-end");
  EXPECT_EQ(first["message"], "HT 3 sent \"A\"\n");
  EXPECT_EQ(first["ht"], 3);
  EXPECT_DOUBLE_EQ(first["seconds"].get<double>(), 0.5);
  EXPECT_EQ(first["file"].get<std::string>().find("\"A\".DAT"), first["file"].get<std::string>().size() - 7);
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_EQ(nlohmann::json::parse(line)["priority"], 3);
  EXPECT_FALSE(std::getline(in, line));
}

TEST(LogWriter, FormatNames) {
  LogFormat f = LogFormat::kText;
  EXPECT_TRUE(Parse_Log_Format("json", &f));
  EXPECT_EQ(f, LogFormat::kJson);
  EXPECT_TRUE(Parse_Log_Format("text", &f));
  EXPECT_EQ(f, LogFormat::kText);
  EXPECT_FALSE(Parse_Log_Format("JSON", &f));
}

}  // namespace
