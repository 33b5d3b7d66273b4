// The floor of the start-up case: a GUI-subsystem program with the runner's static runtime
// that returns at once, so that only process creation and the runtime's start are left.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return 0; }
