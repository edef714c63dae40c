// A window-message target for tests that records every message it handles.
#pragma once

#include <mutex>
#include <vector>

#include "platform/window.h"

namespace testsupport {

class RecordingTarget : public platform::MessageTarget {
 public:
  void Handle(const platform::Message& m) override {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(m);
  }
  std::vector<platform::Message> Messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<platform::Message> messages_;
};

}  // namespace testsupport
