// The element search every XML lookup goes through.
#include <tinyxml.h>

#include <cstring>

#include "patchdata/patchdata.h"

// The walk looks at a node, then into its first child (only when that is an
// element), then on along its next siblings (only while they are elements or
// text). Descending recurses, so the depth follows the nesting; moving on to a
// sibling is a loop, so a long run of siblings costs no stack.
TiXmlElement* FindElement(TiXmlNode* start, const char* name) {
  for (TiXmlNode* node = start; node != nullptr;) {
    if (node->Type() == TiXmlNode::TINYXML_ELEMENT && std::strcmp(node->Value(), name) == 0) {
      return node->ToElement();
    }
    TiXmlNode* child = node->FirstChild();
    if (child != nullptr && child->Type() == TiXmlNode::TINYXML_ELEMENT) {
      if (TiXmlElement* found = FindElement(child, name)) return found;
    }
    TiXmlNode* next = node->NextSibling();
    if (next == nullptr ||
        (next->Type() != TiXmlNode::TINYXML_ELEMENT && next->Type() != TiXmlNode::TINYXML_TEXT)) {
      return nullptr;
    }
    node = next;
  }
  return nullptr;
}
