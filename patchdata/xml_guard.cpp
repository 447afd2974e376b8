// The check every XML file passes before the XML library parses it.
//
// The library parses, prints and frees a document recursively, one level of
// the call stack per level of element nesting, so a deeply nested file
// exhausts the stack. In UTF-8 mode it also steps over a multi-byte
// character as a whole, so a lead byte near the end of the text makes it
// read past the end of its buffer. Neither can be seen from outside the
// library, and neither can be caught once it happens.
//
// The check therefore walks the bytes the way the library's parser does
// (the same node kinds, the same end markers, the same entity and
// character steps, the same switch to UTF-8 mode), without building
// anything and without recursion, and answers whether the parse stays
// within kMaxXmlNesting levels and within the text. Where the library
// would stop at an error the walk stops too; where it is simpler to go on
// (repeated attribute names) it goes on, which can only make it stricter.
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "patchdata/patchdata.h"

namespace {

enum class Mode { kUnknown, kUtf8, kLegacy };

// Bytes of a UTF-8 character by its lead byte, as the library counts them.
int Utf8Length(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 1;
}

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool IsAlpha(char c) {
  unsigned char byte = static_cast<unsigned char>(c);
  return byte < 127 ? std::isalpha(byte) != 0 : true;
}
bool IsAlphaNum(char c) {
  unsigned char byte = static_cast<unsigned char>(c);
  return byte < 127 ? std::isalnum(byte) != 0 : true;
}
int Lower(char c) {
  unsigned char byte = static_cast<unsigned char>(c);
  return (byte >= 'A' && byte <= 'Z') ? byte - 'A' + 'a' : byte;
}

// `tag` starts at `p` (the library's StringEqual; false at the end).
bool StartsWith(const char* p, const char* tag, bool ignoreCase = false) {
  if (p == nullptr || *p == 0) return false;
  for (; *tag != 0; ++p, ++tag) {
    if (*p == 0) return false;
    if (ignoreCase ? Lower(*p) != Lower(*tag) : *p != *tag) return false;
  }
  return true;
}

class ParseWalk {
 public:
  ParseWalk(const char* text, size_t length) : text_(text), end_(text + length) {}

  // The deepest nesting reached (kMaxXmlNesting + 1 when the walk stopped
  // there), or -1 when the parse would run past the end of the text.
  int Run() {
    const char* p = text_;
    if (*p == 0) return 0;
    if (static_cast<unsigned char>(p[0]) == 0xEF && static_cast<unsigned char>(p[1]) == 0xBB &&
        static_cast<unsigned char>(p[2]) == 0xBF) {
      mode_ = Mode::kUtf8;
    }
    p = SkipSpace(p);
    while (!beyondEnd_ && !tooDeep_ && p != nullptr && *p != 0) {
      Kind kind = Identify(p);
      if (kind == Kind::kNone) break;
      std::string encoding;
      p = ParseNode(kind, p, &encoding);
      if (kind == Kind::kDeclaration && mode_ == Mode::kUnknown) {
        const char* name = encoding.c_str();
        mode_ = (*name == 0 || StartsWith(name, "UTF-8", true) || StartsWith(name, "UTF8", true))
                    ? Mode::kUtf8
                    : Mode::kLegacy;
      }
      p = SkipSpace(p);
    }
    return beyondEnd_ ? -1 : deepest_;
  }

 private:
  enum class Kind { kNone, kDeclaration, kComment, kCdata, kUnknown, kElement };

  // A step that would leave the text: the library would read past its end.
  const char* Beyond() {
    beyondEnd_ = true;
    return nullptr;
  }

  const char* SkipSpace(const char* p) {
    if (p == nullptr || *p == 0) return nullptr;
    if (mode_ == Mode::kUtf8) {
      while (*p != 0) {
        const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
        if (u[0] == 0xEF && ((u[1] == 0xBB && u[2] == 0xBF) || (u[1] == 0xBF && (u[2] == 0xBE || u[2] == 0xBF)))) {
          p += 3;
          continue;
        }
        if (!IsSpace(*p)) break;
        ++p;
      }
    } else {
      while (*p != 0 && IsSpace(*p)) ++p;
    }
    return p;
  }

  Kind Identify(const char* p) {
    p = SkipSpace(p);
    if (p == nullptr || *p != '<') return Kind::kNone;
    if (StartsWith(p, "<?xml", true)) return Kind::kDeclaration;
    if (StartsWith(p, "<!--")) return Kind::kComment;
    if (StartsWith(p, "<![CDATA[")) return Kind::kCdata;
    if (StartsWith(p, "<!")) return Kind::kUnknown;
    if (IsAlpha(p[1]) || p[1] == '_') return Kind::kElement;
    return Kind::kUnknown;
  }

  const char* ReadName(const char* p) {
    if (p == nullptr || *p == 0 || !(IsAlpha(*p) || *p == '_')) return nullptr;
    while (*p != 0 && (IsAlphaNum(*p) || *p == '_' || *p == '-' || *p == '.' || *p == ':')) ++p;
    return p;
  }

  // One character of text: an entity, a multi-byte character or a byte.
  // Appends what it stands for to `value` (when given) as the library does
  // outside UTF-8 mode, which is the only mode whose values matter here.
  const char* Character(const char* p, std::string* value) {
    int length = mode_ == Mode::kUtf8 ? Utf8Length(static_cast<unsigned char>(*p)) : 1;
    if (length > 1) {
      if (p + length > end_) return Beyond();
      return p + length;
    }
    if (*p != '&') {
      if (value) *value += *p;
      return p + 1;
    }
    return Entity(p, value);
  }

  const char* Entity(const char* p, std::string* value) {
    if (p[1] == '#' && p[2] != 0) {
      const bool hex = p[2] == 'x';
      if (hex && p[3] == 0) return nullptr;
      const char* semicolon = std::strchr(p + (hex ? 3 : 2), ';');
      if (semicolon == nullptr) return nullptr;
      uint32_t code = 0, multiplier = 1;
      for (const char* q = semicolon - 1; *q != (hex ? 'x' : '#'); --q) {
        uint32_t digit;
        if (*q >= '0' && *q <= '9') {
          digit = static_cast<uint32_t>(*q - '0');
        } else if (hex && *q >= 'a' && *q <= 'f') {
          digit = static_cast<uint32_t>(*q - 'a' + 10);
        } else if (hex && *q >= 'A' && *q <= 'F') {
          digit = static_cast<uint32_t>(*q - 'A' + 10);
        } else {
          return nullptr;
        }
        code += multiplier * digit;
        multiplier *= hex ? 16 : 10;
      }
      if (value && mode_ != Mode::kUtf8) *value += static_cast<char>(code);
      return semicolon + 1;
    }
    static const char* const kNamed[][2] = {
        {"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}};
    for (const auto& named : kNamed) {
      size_t length = std::strlen(named[0]);
      if (std::strncmp(named[0], p, length) == 0) {
        if (value) *value += named[1];
        return p + length;
      }
    }
    return p + 1;  // an unknown entity's '&' is dropped
  }

  // Text up to `endTag`, which is passed over; null when the text ends first.
  const char* ReadText(const char* p, bool trim, const char* endTag, std::string* value) {
    if (trim) {
      p = SkipSpace(p);
      while (p != nullptr && *p != 0 && !StartsWith(p, endTag)) {
        p = IsSpace(*p) ? p + 1 : Character(p, value);
      }
    } else {
      while (p != nullptr && *p != 0 && !StartsWith(p, endTag)) p = Character(p, value);
    }
    if (p != nullptr && *p != 0) p += std::strlen(endTag);
    return (p != nullptr && *p != 0) ? p : nullptr;
  }

  const char* Attribute(const char* p, std::string* value) {
    p = SkipSpace(p);
    if (p == nullptr || *p == 0) return nullptr;
    p = ReadName(p);
    if (p == nullptr || *p == 0) return nullptr;
    p = SkipSpace(p);
    if (p == nullptr || *p != '=') return nullptr;
    p = SkipSpace(p + 1);
    if (p == nullptr || *p == 0) return nullptr;
    if (*p == '\'' || *p == '"') {
      const char quote[2] = {*p, 0};
      return ReadText(p + 1, false, quote, value);
    }
    while (*p != 0 && !IsSpace(*p) && *p != '/' && *p != '>') {
      if (*p == '\'' || *p == '"') return nullptr;
      if (value) *value += *p;
      ++p;
    }
    return p;
  }

  const char* Declaration(const char* p, std::string* encoding) {
    p += 5;  // "<?xml"
    while (p != nullptr && *p != 0) {
      if (*p == '>') return p + 1;
      p = SkipSpace(p);
      if (p == nullptr || *p == 0) break;
      if (StartsWith(p, "version", true) || StartsWith(p, "standalone", true)) {
        p = Attribute(p, nullptr);
      } else if (StartsWith(p, "encoding", true)) {
        encoding->clear();
        p = Attribute(p, encoding);
      } else {
        while (*p != 0 && *p != '>' && !IsSpace(*p)) ++p;
      }
    }
    return nullptr;
  }

  const char* Comment(const char* p) {
    p += 4;  // "<!--"
    while (*p != 0 && !StartsWith(p, "-->")) ++p;
    return *p != 0 ? p + 3 : p;
  }

  const char* Cdata(const char* p) {
    p += 9;  // "<![CDATA["
    while (*p != 0 && !StartsWith(p, "]]>")) ++p;
    return ReadText(p, false, "]]>", nullptr);
  }

  const char* Unknown(const char* p) {
    ++p;
    while (*p != 0 && *p != '>') ++p;
    return *p == '>' ? p + 1 : p;
  }

  // An element's start tag, its content and its end tag, with the content's
  // elements handled on an explicit stack instead of the call stack.
  const char* Element(const char* p) {
    struct Open {
      const char* name;
      size_t nameLength;
    };
    std::vector<Open> open;
    for (;;) {
      // p is at the '<' of a start tag. The element is in the tree from
      // here on, even when its tag turns out broken.
      if (!Deeper(open.size() + 1)) return nullptr;
      p = SkipSpace(p + 1);
      const char* name = p;
      p = ReadName(p);
      if (p == nullptr || *p == 0) return nullptr;
      const size_t nameLength = static_cast<size_t>(p - name);
      bool descended = false;
      while (!descended) {
        p = SkipSpace(p);
        if (p == nullptr || *p == 0) return nullptr;
        if (*p == '/') {
          if (p[1] != '>') return nullptr;
          p += 2;
          break;
        }
        if (*p == '>') {
          open.push_back({name, nameLength});
          ++p;
          descended = true;
        } else {
          p = Attribute(p, nullptr);
          if (p == nullptr || *p == 0) return nullptr;
        }
      }
      // Content of the innermost open element, until a child element
      // starts (the outer loop takes it) or the end tags are all read.
      bool child = false;
      while (!child) {
        if (open.empty()) return p;
        p = SkipSpace(p);
        while (p != nullptr && *p != 0) {
          if (*p != '<') {
            p = ReadText(p, true, "<", nullptr);
            if (p != nullptr) --p;  // the '<' stays for the next node
          } else if (StartsWith(p, "</")) {
            break;
          } else {
            Kind kind = Identify(p);
            if (kind == Kind::kElement) {
              child = true;
              break;
            }
            std::string ignored;
            p = ParseNode(kind, p, &ignored);
          }
          p = SkipSpace(p);
        }
        if (p == nullptr || *p == 0) return nullptr;
        if (child) break;
        // The end tag of the innermost element: "</name", blanks, '>'.
        const Open& closing = open.back();
        if (std::strncmp(p + 2, closing.name, closing.nameLength) != 0) return nullptr;
        p = SkipSpace(p + 2 + closing.nameLength);
        if (p == nullptr || *p != '>') return nullptr;
        ++p;
        open.pop_back();
      }
    }
  }

  // Notes a nesting depth; false, ending the walk, beyond the limit.
  bool Deeper(size_t depth) {
    if (depth > static_cast<size_t>(deepest_)) deepest_ = static_cast<int>(depth);
    tooDeep_ = deepest_ > kMaxXmlNesting;
    return !tooDeep_;
  }

  const char* ParseNode(Kind kind, const char* p, std::string* encoding) {
    switch (kind) {
      case Kind::kDeclaration: return Declaration(p, encoding);
      case Kind::kComment: return Comment(p);
      case Kind::kCdata: return Cdata(p);
      case Kind::kUnknown: return Unknown(p);
      case Kind::kElement: return Element(p);
      case Kind::kNone: break;
    }
    return nullptr;
  }

  const char* text_;
  const char* end_;  // the terminating zero
  Mode mode_ = Mode::kUnknown;
  int deepest_ = 0;
  bool tooDeep_ = false;
  bool beyondEnd_ = false;
};

}  // namespace

int MeasureXmlNesting(const char* text, size_t length) { return ParseWalk(text, length).Run(); }

bool IsSafeToParse(const char* text, size_t length) {
  const int depth = MeasureXmlNesting(text, length);
  return depth >= 0 && depth <= kMaxXmlNesting;
}
