// The signals a service manager sends (SIGINT, SIGTERM to stop, SIGHUP to
// read the configuration again) as window messages: a program that waits for
// messages sees a signal as one more message and acts on it in order, on its
// own thread, without a busy loop.
//
// A signal handler only writes the signal number into a pipe; a watcher
// thread reads the pipe and posts the message. Child programs get the
// default handling back when they start (handlers do not survive exec), and
// no signal is blocked in any thread.
#pragma once

#include "platform/window.h"

namespace platform {

// Installs the handlers for SIGINT, SIGTERM and SIGHUP, ignores SIGPIPE (a
// closed pipe or socket then fails the write with EPIPE instead of ending
// the program) and starts the watcher, which
// posts msg (wParam = the signal number, lParam 0) to target for every
// signal that arrives. Call once, from the thread that owns target. False
// when the pipe, the thread or a handler could not be set up (nothing is
// installed then).
bool Start_Stop_Signal_Watch(HWND target, UINT msg);

// Restores the default handling of the four signals and ends the watcher.
void End_Stop_Signal_Watch();

}  // namespace platform
