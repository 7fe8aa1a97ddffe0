// The empty GUI program: the cost of starting and ending a process at all.
#include <windows.h>

extern "C" void emptyMain() { ExitProcess(0); }
