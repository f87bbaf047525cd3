// The handler's entry point: a GUI-subsystem program, so it starts without a
// console window of its own. The command line is read with GetCommandLineW.
#include <windows.h>

#include "app/handler_main_win.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return nelko::HandlerMain(); }
