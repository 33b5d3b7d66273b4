#include "package/update_facts.h"

#include <json/json.h>

#include "package/conf.h"

PackageFacts PackageFactsOf(const std::string& confText) {
  PackageFacts facts;
  Json::Value root;
  if (!Json::Reader().parse(BlankJsonComments(confText), root, false) || !root.isObject())
    return facts;
  const struct {
    const char* member;
    std::string& text;
  } members[] = {{"name", facts.name}, {"version", facts.version}, {"publisher", facts.publisher}};
  for (const auto& member : members) {
    const Json::Value& value = root[member.member];
    if (value.isString()) member.text = value.asString();
  }
  return facts;
}
