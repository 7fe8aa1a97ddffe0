// The watch on the printing thread while printFile runs: a vectored exception handler that
// notes a fault no one of the vendor's handles, which the system may otherwise swallow
// around a callback (a window or timer procedure of the library's). No includes: it uses
// __try, which libstdc++'s exception defines turn into `if (true)`.
#pragma once

// Starts watching the calling thread; `libraryImage` is the library's module.
void startFaultWatch(void* libraryImage);
void stopFaultWatch();
// True when a crash was noted, with the address where it happened.
bool noteOfCrash(unsigned long long* faultAddress);
