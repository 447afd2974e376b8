// Loading XML files: the description file and the record are read whole and
// handed to the XML library only in a form it parses safely.
#pragma once

#include <cstdio>
#include <string>

class TiXmlDocument;
class TiXmlElement;
class TiXmlNode;

enum class XmlLoad {
  kLoaded,     // parse errors are not reported: the document keeps what was read before them
  kCannotOpen,  // or not read to its end
  kBlank,      // nothing but white space and zero bytes, after an optional byte-order mark
  kRefused,    // more element starts than kMaxXmlElements: not handed to the library; or
               // nested deeper than kMaxXmlDepth: parsed, then emptied
};
// Loads an XML file through its wide path.
XmlLoad LoadXmlFile(TiXmlDocument* document, const wchar_t* path);
// The same for a file already open; the caller closes it.
XmlLoad LoadXmlStream(TiXmlDocument* document, std::FILE* file);

// Parses `text` (line ends already LF) into the document, or refuses it
// (kRefused) with the document left empty.
XmlLoad ParseXmlText(TiXmlDocument* document, std::string text);

// The text the library parses from a file's bytes: line ends made LF, cut
// at the first zero byte.
std::string XmlTextOfBytes(const std::string& bytes);

// The most element starts a text handed to the library may hold: a
// description of 5,000 modules has 10,005. The library parses, copies,
// prints and frees a document with one level of recursion per level of
// element nesting, and no parse nests deeper than the text's element
// starts. Every XML file is parsed on the main thread, whose reserve the
// build sets (QLPATCH_MAIN_STACK_BYTES, 8 MiB); bench/xml_stack.cpp measures
// the stack per level in the product's build under Wine (about 160 bytes):
// the deepest parse allowed, at twice that per level, must take at most half
// of the reserve.
constexpr int kMaxXmlElements = 12000;
constexpr long kXmlStackBytesPerLevel = 2 * 160;
#ifdef QLPATCH_MAIN_STACK_BYTES
static_assert(kMaxXmlElements * kXmlStackBytesPerLevel <= QLPATCH_MAIN_STACK_BYTES / 2,
              "the deepest XML document allowed must fit the main thread's stack");
#endif
// The deepest element nesting a parsed document may have; a deeper one is
// emptied at once. The library's parse and its save (which indents each
// line by its depth) take time in the square of the depth: 12,000 levels
// take seconds to parse and minutes to save under Wine, 2,000 levels about
// 0.1 s and 2 s. Real files are four levels deep.
constexpr int kMaxXmlDepth = 2000;
// The deepest element nesting in a document, found without recursion.
int ElementDepth(const TiXmlNode* document);

// The places in `text` where the library could start an element: a '<'
// followed by a letter, '_' or any byte from 127 up (what it takes for a
// letter). No parse nests deeper than this count.
int CountElementStarts(const std::string& text);

// An element's text: its first child's value when that child is text.
const char* ElementText(const TiXmlElement* element);
