#include "package/conf_write.h"

#include <cstdio>

void AppendJsonString(std::string& text, const std::string& value) {
  text += '"';
  for (const char c : value) {
    if (c == '"' || c == '\\') {
      text += '\\';
      text += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c));
      text += escaped;
    } else {
      text += c;
    }
  }
  text += '"';
}

std::string ConfJsonText(const PatchList& entries) {
  std::string text = "{\n  \"patch_list\": [\n";
  for (size_t i = 0; i < entries.size(); ++i) {
    const EntryKind kind = entries[i].kind;
    if (kind == EntryKind::kCopy) {
      text += "    { \"src\": ";
      AppendJsonString(text, entries[i].src);
      text += ", \"dest\": ";
      AppendJsonString(text, entries[i].dest);
      text += ", \"sha256\": \"" + entries[i].sha256 + "\"";
      if (entries[i].encoding == Encoding::kCompressed) text += ", \"encoding\": \"compressed\"";
      if (entries[i].encoding == Encoding::kDifference) {
        text += ", \"encoding\": \"difference\", \"base_sha256\": \"" + entries[i].baseSha256 + "\"";
        if (!entries[i].base.empty()) {
          text += ", \"base\": ";
          AppendJsonString(text, entries[i].base);
        }
      }
      text += " }";
    } else {
      text += kind == EntryKind::kRemove ? "    { \"action\": \"remove\", \"src\": [], \"dest\": "
                                         : "    { \"action\": \"folder\", \"src\": [], \"dest\": ";
      AppendJsonString(text, entries[i].dest);
      text += " }";
    }
    text += i + 1 < entries.size() ? ",\n" : "\n";
  }
  return text + "  ]\n}\n";
}
