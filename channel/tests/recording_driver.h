// A driver table for channel-layer tests that records every call it gets,
// with its arguments, as a short text: "init()", "listen(3,1)",
// "send(7,5)" (channel and length), "recv(7,5,1)", "close(7,33)".
// Installed for all three interfaces at once; each record is prefixed with
// the interface it reached ("tcp:listen(3,1)"), so a test sees both which
// driver was chosen and what it was asked. Results are 0 unless set with
// Set_Result(entry, value). One instance at a time; single-threaded use.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "channel/mux32.h"

namespace channel_test {

class RecordingDriver {
 public:
  RecordingDriver();
  ~RecordingDriver();
  RecordingDriver(const RecordingDriver&) = delete;
  RecordingDriver& operator=(const RecordingDriver&) = delete;

  // Result of an entry by its name ("init", "open", "listen", ...).
  void Set_Result(const std::string& entry, long result) { results_[entry] = result; }
  const std::vector<std::string>& Calls() const { return calls_; }
  void Clear() { calls_.clear(); }

  // Called by the installed tables.
  long Record(int gi, const std::string& entry, const std::string& args);

 private:
  std::vector<std::string> calls_;
  std::map<std::string, long> results_;
  const ChannelDriver* saved_[3];
};

}  // namespace channel_test
