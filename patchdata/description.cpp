// The readers of the patch description file. Every value is read afresh.
#include <tinyxml.h>

#include <cstdio>
#include <cstring>

#include "patchdata/patchdata.h"
#include "patchdata/xml_file.h"

namespace {

// Loads the description file, opened by its name as the XML library opens
// files; false when it cannot be opened. Other load errors leave whatever
// was read before them. A file the library cannot parse safely leaves the
// document empty, so every element in it reads as missing.
bool LoadDescription(TiXmlDocument* document, const char* fileName) {
  std::FILE* file = std::fopen(fileName, "rb");
  if (file == nullptr) return false;
  LoadXmlStream(document, file);
  std::fclose(file);
  return true;
}

// Copies the element's text (its first child, when that is text) into the
// zero-filled buffer. A text that would not fit with its terminator is
// refused rather than cut.
ResultCode CopyElementText(const TiXmlElement* element, char* buffer, size_t bufferBytes) {
  const char* text = ElementText(element);
  if (text == nullptr) return RC_SUCCEED;
  size_t length = std::strlen(text);
  if (length >= bufferBytes) return RC_XML_ELEMENT_MISSING;
  std::memcpy(buffer, text, length);
  return RC_SUCCEED;
}

}  // namespace

ResultCode ReadDataValue(const char* fileName, const char* elementName, char* buffer,
                         size_t bufferBytes) {
  TiXmlDocument document;
  if (!LoadDescription(&document, fileName)) return RC_XML_LOAD_FAILED;
  TiXmlElement* element = FindElement(document.FirstChild("UpdateQL"), elementName);
  if (element == nullptr) return RC_XML_ELEMENT_MISSING;
  return CopyElementText(element, buffer, bufferBytes);
}

ResultCode ReadNestedDataValue(const char* fileName, const char* outerName,
                               const char* innerName, char* buffer, size_t bufferBytes) {
  TiXmlDocument document;
  if (!LoadDescription(&document, fileName)) return RC_XML_LOAD_FAILED;
  TiXmlElement* outer = FindElement(document.FirstChild("UpdateQL"), outerName);
  if (outer == nullptr) return RC_XML_ELEMENT_MISSING;
  TiXmlElement* inner = FindElement(outer, innerName);
  if (inner == nullptr) return RC_SUCCEED;  // a missing inner element reads as empty
  return CopyElementText(inner, buffer, bufferBytes);
}
