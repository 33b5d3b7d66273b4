// The pure half of the configuration reader: no platform calls, so that it builds anywhere
// and can be fuzzed on its own.
#include <json/json.h>

#include <exception>
#include <utility>

#include "app/conf.h"

namespace {

// Out of format when the value is a number, an array or an object. The reader's own
// conversions differ between library versions, so null and booleans are spelled out here.
bool ReadText(const Json::Value& value, std::string& text) {
  switch (value.type()) {
    case Json::nullValue:
      text.clear();
      return true;
    case Json::booleanValue:
      text = value.asBool() ? "true" : "false";
      return true;
    case Json::stringValue:
      text = value.asString();
      return true;
    default:
      return false;
  }
}

ConfTextResult ReadPatchList(const Json::Value& root, PatchList& parsed) {
  // A top-level null reads as an object without members.
  if (!root.isNull() && !root.isObject()) return ConfTextResult::kOutOfFormat;
  // References, not copies: copying the list costs a third of the parse. The const
  // operator[] gives the shared null value for an absent member and for a null root.
  const Json::Value& patchList = root["patch_list"];
  if (!patchList.isNull() && !patchList.isArray()) return ConfTextResult::kListNotArray;

  // A null list has size 0.
  for (Json::ArrayIndex index = 0; index < patchList.size(); ++index) {
    const Json::Value& element = patchList[index];
    if (!element.isNull() && !element.isObject()) return ConfTextResult::kOutOfFormat;
    PatchEntry entry;
    if (element.isObject()) {
      if (!ReadText(element["src"], entry.src) || !ReadText(element["dest"], entry.dest)) {
        return ConfTextResult::kOutOfFormat;
      }
    }
    parsed.push_back(std::move(entry));
  }
  return ConfTextResult::kOk;
}

}  // namespace

std::string BlankJsonComments(const std::string& text) {
  std::string blanked = text;
  const size_t size = blanked.size();
  size_t at = 0;
  while (at < size) {
    const char c = blanked[at];
    if (c == '"') {
      // Skip the string; a backslash takes the next byte with it.
      for (++at; at < size && blanked[at] != '"'; ++at) {
        if (blanked[at] == '\\') ++at;
      }
      ++at;
    } else if (c == '/' && at + 1 < size && blanked[at + 1] == '/') {
      for (; at < size && blanked[at] != '\n' && blanked[at] != '\r'; ++at) blanked[at] = ' ';
    } else if (c == '/' && at + 1 < size && blanked[at + 1] == '*') {
      blanked[at] = blanked[at + 1] = ' ';
      for (at += 2; at < size; ++at) {
        if (blanked[at] == '*' && at + 1 < size && blanked[at + 1] == '/') {
          blanked[at] = blanked[at + 1] = ' ';
          at += 2;
          break;
        }
        if (blanked[at] != '\n' && blanked[at] != '\r') blanked[at] = ' ';
      }
    } else {
      ++at;
    }
  }
  return blanked;
}

ConfTextResult ParseConfText(const std::string& text, PatchList& list) {
  try {
    Json::Value root;
    Json::Reader reader;  // all features: comments allowed, strict root off
    if (!reader.parse(BlankJsonComments(text), root, true)) return ConfTextResult::kParseFailed;
    PatchList parsed;
    const ConfTextResult result = ReadPatchList(root, parsed);
    if (result != ConfTextResult::kOk) return result;
    list.reserve(list.size() + parsed.size());
    for (PatchEntry& entry : parsed) list.push_back(std::move(entry));
    return ConfTextResult::kOk;
  } catch (const std::exception&) {
    // The reader throws on nesting deeper than its stack limit; memory can run out on a
    // large text. Either way no list came out of it.
    return ConfTextResult::kParseFailed;
  }
}
