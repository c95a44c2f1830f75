// The Windows entry point: everything the program does is in runSupervisor.
#include <windows.h>

#include "supervisor/startup.h"

// The command line is ignored; the program takes no arguments.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    return runSupervisor();
}
