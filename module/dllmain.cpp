// The module frame of kelmo.dll: loading runs nothing beyond this.
//
// Unloaded by FreeLibrary (not at the process's end, when nothing need be
// given back), the C++ runtime's emergency pool for exceptions, allocated
// once per load, goes back too; the thread support gives back its own as
// the DLL's last destructor (platform/win32/runtime_win32.cpp). The
// multimedia library (winmm) the DLL imports is kept loaded for the
// process's life once it was loaded: unloaded with every cycle, the one of
// wine leaves 12 handles behind each time.
#include <windows.h>

#include <cstddef>  // the C++ runtime's configuration

#if defined(__GLIBCXX__)
namespace __gnu_cxx {
void __freeres() noexcept;
}
#endif

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        HMODULE pinned = nullptr;  // loaded already, as an import: nothing is loaded here
        ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN, L"winmm.dll", &pinned);
    }
#if defined(__GLIBCXX__)
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) __gnu_cxx::__freeres();
#else
    (void)reserved;
#endif
    return TRUE;
}
