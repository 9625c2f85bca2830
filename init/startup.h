// Start-up as the ramdisk's first process: prepare the bare machine, run
// the installation, reboot.
#pragma once

namespace deployboot {

// The whole program. Started under a name containing "init" the process
// forks once and only waits for the worker, returning its raw wait status
// (-1 if waiting fails); the worker, or a process started under any other
// name, does the work and returns 0 only when the restart request fails.
int runStartup(int argc, char** argv);

// True when the program was started as init and must fork a worker.
bool startedAsInit(const char* argv0);

// In the parent: waits for the worker, stores its raw status (or -1) in
// *waitResult and returns true. In the worker, or when fork fails: false.
bool forkWorker(int* waitResult);

// Pseudo file systems and the installer's mount points; nothing is checked.
void prepareMachine();

// Redirects standard input, output and error to /dev/null when the kernel
// command line asks for a silent console.
void silenceConsoleIfAsked();

// SIGINT aborts the installation, SIGPIPE is ignored, SIGCHLD default.
void installSignalDispositions();

}  // namespace deployboot
