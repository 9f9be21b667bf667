// The module frame of kelmo.dll: loading runs nothing beyond this.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
