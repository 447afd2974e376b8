// Patch data and checks: the element search, the description file readers,
// the applicability checks and the patch record.
#pragma once

#include <cstddef>
#include <string>
#include <cstdio>

#include "driver/result_codes.h"

class TiXmlNode;
class TiXmlElement;
class TiXmlDocument;

// First element named `name` in the walk order: the node itself, then into
// its first child when that is an element, then along its following element
// and text siblings. Null when there is none.
TiXmlElement* FindElement(TiXmlNode* start, const char* name);

// Read an element's text from the description file into a zero-filled
// buffer of `bufferBytes`. 0, 2 (file cannot be opened) or 3 (element
// missing, or a value too long for the buffer).
ResultCode ReadDataValue(const char* fileName, const char* elementName, char* buffer,
                         size_t bufferBytes);
ResultCode ReadNestedDataValue(const char* fileName, const char* outerName,
                               const char* innerName, char* buffer, size_t bufferBytes);

// Whether "QL" + `version` is an element name that the record, saved and
// read back by the XML library, keeps as it is. A Version that is not
// ("4.20 SP1", "4,20") could never be recorded.
bool IsRecordableVersion(const char* version);
// Whether `text` is a patch number: one or more decimal digits, nothing else.
bool IsPatchNumber(const char* text);
// Reads Version and PatchVersion from the description file into buffers of
// kValueBytes and checks that they can name the record's elements and the
// backup folder. 0, 2 or 3.
ResultCode ReadPatchIdentity(char* version, char* patchVersion);

// Reads a value of the product's install key. 0 or 1.
ResultCode ReadInstallValue(const wchar_t* valueName, wchar_t* buffer, size_t bufferChars);

// Installed Version and BuildID equal the description file's. 0, 1-5.
ResultCode CheckInstalledProduct();
// Patch state from the record: 16, 17, 19 or a failure code. Fills the
// record path (kPathChars wide characters) and g_backupFolderName.
ResultCode EvaluatePatchState(wchar_t* recordPath);

// The longest suffix of a file beside the record (".damaged.100"): the
// record path leaves room for it within the path bound.
constexpr size_t kRecordSideSuffixChars = 12;

// Writes a new, empty record at `recordPath` unless a file is already there.
void CreatePatchRecord(const wchar_t* recordPath);
// Adds this patch to the record and moves CurVersion on. 0, 2 or 3.
ResultCode RecordPatch(const wchar_t* recordPath);

// Loads an XML file through its wide path. Parse errors are not reported:
// the document keeps what was read before them. A file the XML library
// cannot parse safely (see IsSafeToParse) is not handed to it: the
// document stays empty and the answer is kRefused.
enum class XmlLoad {
  kLoaded,
  kCannotOpen,
  kBlank,    // nothing but white space and zero bytes, after an optional byte-order mark
  kRefused,  // nested too deeply, or a character running past the end
};
XmlLoad LoadXmlFile(TiXmlDocument* document, const wchar_t* path);
// The same for a file already open; the caller closes it.
XmlLoad LoadXmlStream(TiXmlDocument* document, std::FILE* file);
// The text the library parses from a file's bytes: line ends made LF, cut
// at the first zero byte.
std::string XmlTextOfBytes(const std::string& bytes);

// The deepest element nesting the XML library is given. It parses, prints
// and frees a document with one level of recursion per level of nesting;
// real files nest four levels deep.
constexpr int kMaxXmlNesting = 1000;
// Whether the XML library can parse `text` (zero-terminated at `length`,
// line ends already made LF, as the library makes them before parsing)
// without nesting deeper than kMaxXmlNesting and without reading past the
// end of the text.
bool IsSafeToParse(const char* text, size_t length);
// The element nesting the library's parse of `text` reaches, counting a
// childless element as a level; kMaxXmlNesting + 1 for anything deeper,
// -1 when the parse would run past the end of the text.
int MeasureXmlNesting(const char* text, size_t length);

// An element's text: its first child's value when that child is text.
const char* ElementText(const TiXmlElement* element);
