// A second floor for the start-up case: returns at once like bench_empty, but loads the same
// system libraries as Patch.exe and carries its manifest, so that the platform's cost of loading
// them is told apart from what the runner's own start-up adds.
#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

// Referenced, never called: the references alone make the loader bring the libraries in.
void* volatile kImported[] = {
    reinterpret_cast<void*>(&RegOpenKeyExW),
    reinterpret_cast<void*>(&SHGetSpecialFolderPathW),
    reinterpret_cast<void*>(&PathFileExistsW),
};

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return 0; }
