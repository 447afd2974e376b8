// The description file as the checker holds it while it looks at it.
#pragma once

#include <tinyxml.h>

#include <map>
#include <string>

struct DescriptionTree {
  TiXmlDocument document;  // loaded as the tool's readers load it
  TiXmlNode* root = nullptr;
  std::map<std::string, int> elementCounts;  // every element name in the file

  bool InFile(const std::string& name) const { return elementCounts.count(name) != 0; }
};
