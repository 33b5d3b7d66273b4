#pragma once

#include <string>

#include "package/conf.h"

// conf.json as patchmake writes it, read back by ParseConfText as these entries.

// `value` as a JSON string, quotes included: quote and backslash escaped, control characters as
// \u00XX, every other byte (UTF-8) as it is.
void AppendJsonString(std::string& text, const std::string& value);

// conf.json for `entries`: UTF-8 without byte-order mark, one entry per line.
std::string ConfJsonText(const PatchList& entries);
