// Readiness and status messages to a service manager: one datagram of
// "NAME=value" lines to the Unix datagram socket that the environment
// variable NOTIFY_SOCKET names (a file path, or "@name" for the abstract
// namespace). Without NOTIFY_SOCKET nothing is sent. Thread-safe; never
// raises SIGPIPE.
#pragma once

#include <string>

namespace platform {

// Sends state ("READY=1", "STATUS=...", "RELOADING=1\nMONOTONIC_USEC=...").
// True when a service manager was named and the datagram went out; false
// when none is named or sending failed (*why, when given, says why then).
bool Notify_Service_Manager(const std::string& state, std::string* why = nullptr);

// "MONOTONIC_USEC=" and the monotonic clock in microseconds, which a
// service manager wants with RELOADING=1.
std::string Monotonic_Usec_Field();

// Whether standard output is the journal's stream: JOURNAL_STREAM holds
// "DEVICE:INODE" of the stream the service manager connected, and only when
// standard output is still that file (not redirected by a script on the
// way) are journal priority prefixes meant for it.
bool Stdout_Is_Journal();
// The comparison alone: journal_stream as JOURNAL_STREAM holds it (null or
// malformed: false) against a device and inode.
bool Journal_Stream_Matches(const char* journal_stream, unsigned long long device, unsigned long long inode);

}  // namespace platform
