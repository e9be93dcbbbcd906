// The Windows GUI entry point of tagwright.exe.
#include "launcher/run_loop.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR commandLine, int /*show*/) {
    return TagwrightMain(instance, commandLine);
}
