// The RS-232C session: one engine, one thread that runs the engine's own
// session loop again and again until the stop.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "channel/mux32.h"
#include "engine/rox32.h"
#include "linkman/internal.h"
#include "platform/atomic.h"

namespace tether {

namespace {

// A failing line (no such port, open error) makes the session loop return at
// once; the next try waits this long so the thread does not spin.
constexpr std::uint32_t kRetryPauseMs = 1000;
constexpr std::uint32_t kStopStepMs = 10;

struct Rs232State {
  bool running = false;         // window thread only
  RS232_ROX* engine = nullptr;  // created and deleted by the window thread
  std::thread thread;
  Pause quit;                   // woken by the stop: the thread returns
};

Rs232State& State() {
  // Never destroyed: a thread object must not be destroyed while joinable
  // if the program ends without a stop.
  static Rs232State* const state = new Rs232State;
  return *state;
}

void Rs232_Thread(RS232_ROX* engine, Pause* quit) {
  const Line_Runner run = Current_Line_Runner();
  for (;;) {
    if (platform::Load(engine->RS232StopFlag) != 0) break;
    short result = run(*engine);
    if (platform::Load(engine->RS232StopFlag) != 0) break;
    // A negative result means the line could not be used at all.
    if (result < 0 && quit->Sleep_For(kRetryPauseMs)) break;
  }
  // Acknowledge the stop, then idle until the stopper ends the thread.
  platform::Store(engine->RS232StopFlag, static_cast<char>(0));
  while (!quit->Sleep_For(kRetryPauseMs)) {
  }
}

}  // namespace

int Rs232_Running() { return State().running ? 1 : 0; }

int Start_Rs232() {
  Rs232State& st = State();
  if (st.running) return -1;
  RS232_ROX* engine = new (std::nothrow) RS232_ROX;
  if (engine == nullptr) return -1;
  st.quit.Reset();
  Set_Serial_Stopping(false);
  try {
    st.thread = std::thread(Rs232_Thread, engine, &st.quit);
  } catch (const std::system_error&) {
    delete engine;
    return -1;
  }
  st.engine = engine;
  st.running = true;
  return 1;
}

int Stop_Rs232() {
  Rs232State& st = State();
  if (!st.running) return -1;
  RS232_ROX* engine = st.engine;
  platform::Store(engine->RS232StopFlag, static_cast<char>(1));
  Set_Abort_From_GUI(1, 1);
  // A silent terminal must not hold the engine in a receive (or the line's
  // other waits) until its time limit.
  Set_Serial_Stopping(true);
  // The stop flag may also be set while the thread pauses between tries.
  Wait_Pumping([engine] { return platform::Load(engine->RS232StopFlag) == 0; }, kStopStepMs);
  st.quit.Wake();
  if (st.thread.joinable()) st.thread.join();
  Set_Serial_Stopping(false);
  st.running = false;
  delete engine;
  st.engine = nullptr;
  return 1;
}

}  // namespace tether
