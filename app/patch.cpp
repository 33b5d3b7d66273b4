// PLACEHOLDER until the patch application lands.
#include "app/patch.h"
bool StartPatch(const std::wstring&, const PatchList&, const std::wstring&) { return false; }
