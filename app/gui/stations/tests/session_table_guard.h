// Saves the shared session table before a test and puts it back afterwards,
// so tests can set any HT's flags. Only for tests that run no engine thread.
#pragma once

#include <cstring>
#include <memory>

#include "engine/rox32.h"

namespace stations_test {

class SessionTableGuard {
 public:
  SessionTableGuard() : saved_(new InfoHT[256]) {
    std::memcpy(saved_.get(), HTInfoAry, sizeof HTInfoAry);
    std::memset(HTInfoAry, 0, sizeof HTInfoAry);
  }
  ~SessionTableGuard() { std::memcpy(HTInfoAry, saved_.get(), sizeof HTInfoAry); }
  SessionTableGuard(const SessionTableGuard&) = delete;
  SessionTableGuard& operator=(const SessionTableGuard&) = delete;

 private:
  std::unique_ptr<InfoHT[]> saved_;
};

// Puts text blank-padded into an HT's File field, as the engine leaves it.
inline void Set_File(InfoHT& info, const char* text) {
  std::memset(info.File, ' ', sizeof info.File);
  std::memcpy(info.File, text, std::strlen(text));
}

}  // namespace stations_test
