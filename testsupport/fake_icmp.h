// An ICMP back end for tests: every address answers unless told otherwise;
// an address can stay silent (time-out), lose its Nth echo, fail with an
// errno, or every echo can report that no socket opens. Each echo is
// recorded. An echo may also take a while (honouring the cancel flag), so
// tests can catch a pass in the middle.
//
// Thread-safe: the pass threads call Echo while the test configures and reads.
#pragma once

#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/icmp.h"

namespace testsupport {

class FakeIcmp : public platform::IcmpBackend {
 public:
  platform::EchoOutcome Echo(const platform::Ipv4Address& address, std::uint32_t timeout_ms,
                             const std::atomic<bool>* cancel) override {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", address.bytes[0], address.bytes[1], address.bytes[2],
                  address.bytes[3]);
    int delay_ms;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      delay_ms = delay_ms_;
    }
    // Waits in small steps so a cancelled pass ends promptly.
    for (int waited = 0; waited < delay_ms; waited += 5) {
      if (cancel != nullptr && cancel->load()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back(text);
    timeouts_.push_back(timeout_ms);
    const int nth = ++count_[text];
    platform::EchoOutcome out;
    if (no_socket_) {
      out.result = platform::ICMP_NO_SOCKET;
      out.error = no_socket_ping_error_;
      out.raw_error = no_socket_raw_error_;
    } else if (auto f = failing_.find(text); f != failing_.end()) {
      out.result = platform::ICMP_FAILED;
      out.error = f->second;
    } else if (silent_.count(text) != 0 || (lost_.count(text) != 0 && lost_[text] == nth) ||
               (cancel != nullptr && cancel->load())) {
      out.result = platform::ICMP_TIMED_OUT;
    } else {
      out.result = platform::ICMP_ANSWERED;
    }
    return out;
  }

  void Silent(const std::string& address) { Locked([&] { silent_[address] = true; }); }
  // The address's nth echo (counted from 1 over the fake's life) gets no reply.
  void Lose_Echo(const std::string& address, int nth) { Locked([&] { lost_[address] = nth; }); }
  void Fail(const std::string& address, int error) { Locked([&] { failing_[address] = error; }); }
  void No_Socket(int ping_error, int raw_error) {
    Locked([&] {
      no_socket_ = true;
      no_socket_ping_error_ = ping_error;
      no_socket_raw_error_ = raw_error;
    });
  }
  void Delay_Ms(int ms) { Locked([&] { delay_ms_ = ms; }); }

  // Addresses echoed, in order.
  std::vector<std::string> Log() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
  }
  std::vector<std::uint32_t> Timeouts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return timeouts_;
  }
  int Echoes(const std::string& address) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = count_.find(address);
    return it == count_.end() ? 0 : it->second;
  }
  int Total() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(log_.size());
  }

 private:
  template <typename F>
  void Locked(F f) {
    std::lock_guard<std::mutex> lock(mutex_);
    f();
  }

  mutable std::mutex mutex_;
  std::map<std::string, bool> silent_;
  std::map<std::string, int> lost_;
  std::map<std::string, int> failing_;
  std::map<std::string, int> count_;
  std::vector<std::string> log_;
  std::vector<std::uint32_t> timeouts_;
  bool no_socket_ = false;
  int no_socket_ping_error_ = 0;
  int no_socket_raw_error_ = 0;
  int delay_ms_ = 0;
};

}  // namespace testsupport
