// The pure half of the configuration reader: no platform calls, so that it builds anywhere
// and can be fuzzed on its own.
#include <json/json.h>

#include <cstring>
#include <exception>
#include <utility>

#include "package/conf.h"

namespace {

const char* KindOf(const Json::Value& value) {
  switch (value.type()) {
    case Json::intValue:
    case Json::uintValue:
    case Json::realValue:
      return "a number";
    case Json::stringValue:
      return "a string";
    case Json::booleanValue:
      return "a boolean";
    case Json::arrayValue:
      return "an array";
    case Json::objectValue:
      return "an object";
    default:
      return "null";
  }
}

ConfTextResult Problem(ConfTextResult result, ConfProblem* problem, size_t entry,
                       const char* member, const Json::Value& found) {
  if (problem != nullptr) *problem = {entry, member, KindOf(found)};
  return result;
}

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

// An optional hash: absent or null is none; anything but 64 hex digits is out of format. Kept in
// lower case, as the hash of a file is written.
bool ReadHash(const Json::Value& value, std::string& hex) {
  if (value.isNull()) return true;
  if (!value.isString()) return false;
  hex = value.asString();
  if (hex.size() != 64) return false;
  for (char& c : hex) {
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// The entry's kind: "action" absent or null is a copy; "remove" and "folder" must come with "src"
// an empty array, which older readers refuse.
bool ReadKind(const Json::Value& element, EntryKind& kind, const char*& member) {
  const Json::Value& action = element["action"];
  member = "action";
  if (action.isNull()) {
    kind = EntryKind::kCopy;
    return true;
  }
  if (!action.isString()) return false;
  const std::string name = action.asString();
  if (name == "remove") {
    kind = EntryKind::kRemove;
  } else if (name == "folder") {
    kind = EntryKind::kFolder;
  } else {
    return false;
  }
  const Json::Value& src = element["src"];
  member = "src";
  if (!src.isArray() || src.size() != 0) return false;
  member = "sha256";
  return element["sha256"].isNull();
}

// A copy's encoding and, for a difference, its base. On false `member` names what is out of
// format and `found` what was found there, when the member's kind does not say it.
bool ReadEncoding(const Json::Value& element, PatchEntry& entry, const char*& member,
                  const char*& found) {
  const Json::Value& encoding = element["encoding"];
  member = "encoding";
  found = nullptr;
  if (!encoding.isNull()) {
    if (!encoding.isString()) return false;
    const std::string name = encoding.asString();
    if (name == "compressed") {
      entry.encoding = Encoding::kCompressed;
    } else if (name == "difference") {
      entry.encoding = Encoding::kDifference;
    } else if (name != "whole") {
      found = "an unknown encoding";
      return false;
    }
  }
  const bool difference = entry.encoding == Encoding::kDifference;
  member = "sha256";
  found = "missing for an encoded patch file";
  if (entry.encoding != Encoding::kWhole && entry.sha256.empty()) return false;
  member = "base_sha256";
  found = nullptr;
  if (!ReadHash(element["base_sha256"], entry.baseSha256)) return false;
  found = difference ? "missing for a difference" : "given without a difference";
  if (difference == entry.baseSha256.empty()) return false;
  member = "base";
  const Json::Value& base = element["base"];
  if (base.isNull()) return true;
  found = difference ? nullptr : "given without a difference";
  if (!difference || !base.isString()) return false;
  entry.base = base.asString();
  return true;
}

ConfTextResult ReadPatchList(const Json::Value& root, PatchList& list, ConfProblem* problem,
                             ConfHashes hashes) {
  constexpr size_t kTop = ConfProblem::kTopLevel;
  // A top-level null reads as an object without members.
  if (!root.isNull() && !root.isObject())
    return Problem(ConfTextResult::kOutOfFormat, problem, kTop, "", root);
  // References, not copies: copying the list would cost much of the parse. The const
  // operator[] gives the shared null value for an absent member and for a null root.
  const Json::Value& patchList = root["patch_list"];
  if (!patchList.isNull() && !patchList.isArray()) {
    return Problem(ConfTextResult::kListNotArray, problem, kTop, "patch_list", patchList);
  }

  // A null list has size 0.
  list.reserve(list.size() + patchList.size());
  for (Json::ArrayIndex index = 0; index < patchList.size(); ++index) {
    const Json::Value& element = patchList[index];
    if (!element.isNull() && !element.isObject())
      return Problem(ConfTextResult::kOutOfFormat, problem, index, "", element);
    PatchEntry entry;
    if (element.isObject()) {
      const char* member = "";
      if (!ReadKind(element, entry.kind, member))
        return Problem(ConfTextResult::kOutOfFormat, problem, index, member, element[member]);
    }
    if (element.isObject() && entry.kind != EntryKind::kCopy) {
      if (!ReadText(element["dest"], entry.dest))
        return Problem(ConfTextResult::kOutOfFormat, problem, index, "dest", element["dest"]);
    } else if (element.isObject()) {
      if (!ReadText(element["src"], entry.src))
        return Problem(ConfTextResult::kOutOfFormat, problem, index, "src", element["src"]);
      if (!ReadText(element["dest"], entry.dest))
        return Problem(ConfTextResult::kOutOfFormat, problem, index, "dest", element["dest"]);
      if (!ReadHash(element["sha256"], entry.sha256))
        return Problem(ConfTextResult::kOutOfFormat, problem, index, "sha256", element["sha256"]);
      const char* member = "";
      const char* found = nullptr;
      if (!ReadEncoding(element, entry, member, found)) {
        if (problem != nullptr)
          *problem = {index, member, found != nullptr ? found : KindOf(element[member])};
        return ConfTextResult::kOutOfFormat;
      }
    }
    if (hashes == ConfHashes::kRequired && entry.kind == EntryKind::kCopy && entry.sha256.empty()) {
      if (problem != nullptr) *problem = {index, "sha256", "missing"};
      return ConfTextResult::kOutOfFormat;
    }
    list.push_back(std::move(entry));
  }
  return ConfTextResult::kOk;
}

// The end of the string whose opening quote is just before `p`: the closing quote that no
// backslash escapes, or `end`. A run of backslashes escapes the quote when it is odd.
const char* SkipString(const char* p, const char* end) {
  const char* const start = p;
  while (p < end) {
    const char* quote = static_cast<const char*>(std::memchr(p, '"', static_cast<size_t>(end - p)));
    if (quote == nullptr) return end;
    size_t backslashes = 0;
    for (const char* q = quote; q > start && q[-1] == '\\'; --q) ++backslashes;
    if (backslashes % 2 == 0) return quote + 1;
    p = quote + 1;
  }
  return end;
}

// Blanks the comments of `text` outside strings, keeping line breaks. The text is copied into
// `out` only when the first comment is met; false when there was none and `out` is untouched.
bool BlankComments(const std::string& text, std::string& out) {
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  char* copy = nullptr;
  const auto blank = [&](const char* from, const char* to) {
    if (copy == nullptr) {
      out.assign(text);
      copy = &out[0];
    }
    for (const char* q = from; q < to; ++q) {
      if (*q != '\n' && *q != '\r') copy[q - begin] = ' ';
    }
  };
  const char* p = begin;
  while (p < end) {
    while (p < end && *p != '"' && *p != '/') ++p;
    if (p == end) break;
    if (*p == '"') {
      p = SkipString(p + 1, end);
    } else if (p + 1 < end && p[1] == '/') {
      const char* stop = p + 2;
      while (stop < end && *stop != '\n' && *stop != '\r') ++stop;
      blank(p, stop);
      p = stop;
    } else if (p + 1 < end && p[1] == '*') {
      const char* stop = p + 2;
      while (stop + 1 < end && !(stop[0] == '*' && stop[1] == '/')) ++stop;
      stop = stop + 1 < end ? stop + 2 : end;  // an unclosed comment runs to the end
      blank(p, stop);
      p = stop;
    } else {
      ++p;
    }
  }
  return copy != nullptr;
}

}  // namespace

std::string BlankJsonComments(const std::string& text) {
  std::string blanked;
  return BlankComments(text, blanked) ? blanked : text;
}

ConfTextResult ParseConfText(const std::string& text, PatchList& list, ConfProblem* problem,
                             ConfHashes hashes) {
  // Entries are appended in place; any failure takes the list back to this size.
  const size_t before = list.size();
  try {
    std::string blanked;
    const std::string& source = BlankComments(text, blanked) ? blanked : text;
    Json::Value root;
    Json::Reader reader;  // all features: comments allowed, strict root off
    // The pointer form parses in place; the string form would copy the text once more.
    const char* const begin = source.data();
    if (!reader.parse(begin, begin + source.size(), root, true)) {
      if (problem != nullptr)
        *problem = {ConfProblem::kTopLevel, "", reader.getFormattedErrorMessages()};
      return ConfTextResult::kParseFailed;
    }
    const ConfTextResult result = ReadPatchList(root, list, problem, hashes);
    if (result != ConfTextResult::kOk) list.resize(before);
    return result;
  } catch (const std::exception&) {
    // The reader throws on nesting deeper than its stack limit; memory can run out on a
    // large text. Either way no list came out of it.
    list.resize(before);
    if (problem != nullptr)
      problem->entry = ConfProblem::kTopLevel;  // no text: memory may be short
    return ConfTextResult::kParseFailed;
  }
}
