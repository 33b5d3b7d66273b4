#pragma once

#include <string>

// What a package says about itself for the product's installed updates: the optional "name",
// "version" and "publisher" members of conf.json, which no runner reads for its run.
struct PackageFacts {
  std::string name, version, publisher;  // UTF-8; empty when missing or not a string
};
// From a conf.json text (comments allowed); all empty for a text that does not parse.
PackageFacts PackageFactsOf(const std::string& confText);
