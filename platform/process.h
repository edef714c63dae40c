// Child programs: a command line runs as `/bin/sh -c LINE` with the
// program's environment and current folder, standard input and output
// inherited, every other descriptor closed and all signals at their
// defaults.
#pragma once

namespace platform {

// A child ended by signal n reports kChildKilledBase - n (for example -265
// for SIGKILL): never one of the exit codes 0..245 or -1..-10.
constexpr int kChildKilledBase = -256;

// Starts the child and waits for it to end. Returns false when it could not
// be started (null or blank line, no shell, no process could be created);
// *exit_code is then left alone. Otherwise true with *exit_code set: exit
// statuses 255 down to 246 are -1 down to -10, the others 0..245 as they
// are, a death by signal as above. A command the shell cannot find or run
// is its exit status 127 or 126. exit_code may be null. Blocks the calling
// thread (without spinning) as long as the child runs.
bool Run_Child(const char* line, int* exit_code);

// Starts the child and returns at once. False under the same start failures
// as Run_Child. The child is reaped in the background when it ends, so no
// zombie remains; *pid (may be null) receives its process id. Nothing else in
// the program may wait for arbitrary children (waitpid(-1)) or ignore SIGCHLD.
bool Start_Child(const char* line, int* pid = nullptr);

// Replaces the running program by the executable at path, with argv
// (null-terminated) as its arguments and the same environment. Returns only
// on failure, with errno set (no such file, not executable ...).
void Replace_Program(const char* path, char* const argv[]);

// Tests only: the shell to run instead of /bin/sh (empty restores it).
void Set_Child_Shell_For_Testing(const char* path);

}  // namespace platform
