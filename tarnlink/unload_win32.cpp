// What the library gives back when a process unloads it. The C++ runtime is
// linked into the DLL, and its exception-handling emergency pool (about 73 KB
// on 64-bit Windows, 19 KB on 32-bit) is allocated when the DLL loads and
// never freed by the runtime itself: an application that loads and unloads
// the library for every acquisition would lose it each time.
#include <windows.h>

namespace __gnu_cxx {
void __freeres() noexcept; // libstdc++'s own release of its pools
} // namespace __gnu_cxx

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    // At process exit (reserved set) nothing needs giving back.
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) __gnu_cxx::__freeres();
    return TRUE;
}
