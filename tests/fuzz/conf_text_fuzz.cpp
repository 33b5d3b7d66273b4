// libFuzzer target for the configuration text reader, built natively (see scripts/fuzz).
// Checks what the reader promises for any bytes: it returns, throws nothing, leaves the list
// alone on failure, and appends exactly one entry per "patch_list" element on success.

#include <json/json.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "package/conf.h"

namespace {
void Fail(const char* what) {
  std::fprintf(stderr, "conf_text_fuzz: %s\n", what);
  std::abort();
}

// The element count a successful read must append, found independently of the reader.
Json::ArrayIndex ExpectedEntries(const std::string& text) {
  Json::Value root;
  Json::Reader reader;
  if (!reader.parse(BlankJsonComments(text), root) || !root.isObject()) return 0;
  const Json::Value& list = root["patch_list"];
  return list.isArray() ? list.size() : 0;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  PatchList list{{"kept-src", "kept-dest"}};
  ConfTextResult result = ConfTextResult::kParseFailed;
  try {
    result = ParseConfText(text, list, nullptr,
                           size % 2 == 0 ? ConfHashes::kOptional : ConfHashes::kRequired);
  } catch (...) {
    Fail("an exception left ParseConfText");
  }
  if (list.empty() || list[0].src != "kept-src" || list[0].dest != "kept-dest") {
    Fail("an entry already in the list was changed");
  }
  if (result != ConfTextResult::kOk) {
    if (list.size() != 1) Fail("a failed read changed the list");
    return 0;
  }
  if (list.size() - 1 != ExpectedEntries(text))
    Fail("a successful read appended the wrong number of entries");
  if (BlankJsonComments(text).size() != text.size())
    Fail("blanking comments changed the text's length");
  return 0;
}
