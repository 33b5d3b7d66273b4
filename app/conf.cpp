// PLACEHOLDER until the configuration reader lands.
#include "app/conf.h"
bool ParseConf(const std::wstring&, PatchList&) { return false; }
ConfTextResult ParseConfText(const std::string&, PatchList&) { return ConfTextResult::kParseFailed; }
