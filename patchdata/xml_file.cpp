// Loading XML files: read whole, line ends made as the library makes them,
// and given to the library only where its parse is safe.
//
// Two things the library cannot be trusted with are kept from it by plain
// means, without knowing how its parser walks a text:
// - Reading past the end. In UTF-8 mode it steps over a character's bytes
//   as a whole, up to four by the lead byte, also where the text ends
//   inside a character. The text it is given therefore ends in kEndPadding
//   zero bytes: a step from the last character lands among them, and every
//   loop of the parser stops at the first zero it meets.
// - Deep recursion. The nesting of any parse is at most the number of
//   places where an element can start, so a text with more of them than
//   kMaxXmlElements is refused.
// A parsed document nested deeper than kMaxXmlDepth is emptied before
// anything else walks it: the library's save time grows with the square of
// the depth.
#include "patchdata/xml_file.h"

#include <tinyxml.h>

#include "platform/platform.h"

namespace {

// Four bytes cover the longest step; the rest is margin.
constexpr size_t kEndPadding = 16;

// Nothing to read: no bytes, or only white space and zero bytes (a file a
// power cut left filled with zeros), after an optional UTF-8 byte-order mark.
bool IsBlank(const std::string& bytes) {
  const size_t start = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  return bytes.find_first_not_of(std::string(" \t\r\n\0", 5), start) == std::string::npos;
}

// What the library takes for the first letter of an element's name.
bool StartsName(unsigned char c) {
  return c >= 127 || c == '_' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

int CountElementStarts(const std::string& text) {
  int starts = 0;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] == '<' && StartsName(static_cast<unsigned char>(text[i + 1]))) ++starts;
  }
  return starts;
}

std::string XmlTextOfBytes(const std::string& bytes) {
  // As the library does when it loads a file.
  std::string text;
  text.reserve(bytes.size() + kEndPadding);
  for (size_t i = 0; i < bytes.size() && bytes[i] != 0; ++i) {
    if (bytes[i] == '\r') {
      text += '\n';
      if (i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
    } else {
      text += bytes[i];
    }
  }
  return text;
}

XmlLoad LoadXmlStream(TiXmlDocument* document, std::FILE* file) {
  std::string bytes;
  char chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) bytes.append(chunk, n);
  // A read that failed (another program's lock on its bytes: error 33) is
  // no blank or shorter file: what was read is not the file.
  if (std::ferror(file)) return XmlLoad::kCannotOpen;
  if (IsBlank(bytes)) return XmlLoad::kBlank;
  return ParseXmlText(document, XmlTextOfBytes(bytes));
}

XmlLoad ParseXmlText(TiXmlDocument* document, std::string text) {
  if (CountElementStarts(text) > kMaxXmlElements) return XmlLoad::kRefused;
  text.append(kEndPadding, '\0');
  document->Parse(text.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
  if (ElementDepth(document) > kMaxXmlDepth) {
    document->Clear();
    return XmlLoad::kRefused;
  }
  return XmlLoad::kLoaded;
}

int ElementDepth(const TiXmlNode* document) {
  int depth = 0, deepest = 0;
  const TiXmlNode* node = document->FirstChild();
  while (node != nullptr) {
    const bool element = node->Type() == TiXmlNode::TINYXML_ELEMENT;
    if (element && depth + 1 > deepest) deepest = depth + 1;
    if (element && node->FirstChild() != nullptr) {
      ++depth;
      node = node->FirstChild();
      continue;
    }
    // On to the next sibling, climbing out of finished elements.
    while (node != nullptr && node->NextSibling() == nullptr) {
      node = node->Parent();
      if (node == document) node = nullptr;
      else if (node != nullptr) --depth;
    }
    if (node != nullptr) node = node->NextSibling();
  }
  return deepest;
}

XmlLoad LoadXmlFile(TiXmlDocument* document, const wchar_t* path) {
  std::FILE* file = os::OpenFile(path, L"rb");
  if (file == nullptr) return XmlLoad::kCannotOpen;
  const XmlLoad load = LoadXmlStream(document, file);
  std::fclose(file);
  return load;
}

const char* ElementText(const TiXmlElement* element) {
  const TiXmlNode* first = element->FirstChild();
  if (first == nullptr || first->Type() != TiXmlNode::TINYXML_TEXT) return nullptr;
  return first->Value();
}
