// The patch record: laying down a new one and adding an applied patch to it.
#include <tinyxml.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "patchdata/patchdata.h"
#include "shared/shared.h"

namespace {

// The record path with a suffix such as ".tmp" or ".damaged.12".
constexpr int kSidePathChars = kPathChars + 16;
// How many kept copies of damaged records may pile up beside the record.
constexpr int kKeptCopyLimit = 100;

// What the patch-state check will see of this patch in a written record:
// the walk from the root finds the version element, the walk from there a
// CurVersion whose text is the patch's.
bool ShowsPatch(TiXmlDocument* written, const char* versionName, const char* patchVersion) {
  TiXmlElement* version = FindElement(written->FirstChild("UpdateQL"), versionName);
  TiXmlElement* current = version != nullptr ? FindElement(version, "CurVersion") : nullptr;
  const char* text = current != nullptr ? ElementText(current) : nullptr;
  return text != nullptr && std::strcmp(text, patchVersion) == 0;
}

enum class Saved { kYes, kFailed, kUnseen };

// Writes the document to a temporary file beside the record and then puts
// it in the record's place in one step. When any step fails the temporary
// file is removed and the old record stays as it was. Given a version
// element name and a patch, the written file is first read back: the
// library does not always read what it wrote the same way (an attribute
// value that is not valid UTF-8 in a UTF-8 record takes its closing quote
// with it), and a record in which the check would not see the patch is not
// put in place (kUnseen).
Saved SaveRecord(const TiXmlDocument& document, const wchar_t* recordPath,
                 const char* versionName = nullptr, const char* patchVersion = nullptr) {
  wchar_t tempPath[kSidePathChars] = {};
  os::FormatWide(tempPath, kSidePathChars, L"%ls.tmp", recordPath);
  std::FILE* file = os::OpenFile(tempPath, L"w");  // text mode: CR LF on Windows
  if (file == nullptr) return Saved::kFailed;
  bool saved = document.SaveFile(file) && os::FlushToDisk(file);
  if (std::fclose(file) != 0) saved = false;
  Saved outcome = saved ? Saved::kYes : Saved::kFailed;
  if (saved && versionName != nullptr) {
    TiXmlDocument written;
    const XmlLoad load = LoadXmlFile(&written, tempPath);
    if (load == XmlLoad::kCannotOpen) {
      outcome = Saved::kFailed;
    } else if (load != XmlLoad::kLoaded || !ShowsPatch(&written, versionName, patchVersion)) {
      outcome = Saved::kUnseen;
    }
  }
  if (outcome == Saved::kYes && !os::ReplaceFileAtomically(tempPath, recordPath)) outcome = Saved::kFailed;
  if (outcome != Saved::kYes) os::DeleteFileAt(tempPath);
  return outcome;
}

// Copies a file byte for byte to `target`, which must be new, and writes
// the copy through to the disk.
bool CopyBytes(const wchar_t* source, const wchar_t* target) {
  std::FILE* in = os::OpenFile(source, L"rb");
  if (in == nullptr) return false;
  std::FILE* out = os::OpenFile(target, L"wb");
  if (out == nullptr) {
    std::fclose(in);
    return false;
  }
  bool copied = true;
  char buffer[4096];
  for (size_t n; copied && (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;) {
    copied = std::fwrite(buffer, 1, n, out) == n;
  }
  if (std::ferror(in)) copied = false;
  std::fclose(in);
  copied = os::FlushToDisk(out) && copied;
  if (std::fclose(out) != 0) copied = false;
  if (!copied) os::DeleteFileAt(target);
  return copied;
}

// A record that did not parse would lose everything after the fault when
// it is saved again. Its bytes are first kept beside it under the first free
// name of "QlPatch.xml.damaged", "QlPatch.xml.damaged.2", ...; an earlier
// kept copy is never overwritten. False when no copy could be made.
bool KeepDamagedRecord(const wchar_t* recordPath) {
  for (int number = 1; number <= kKeptCopyLimit; ++number) {
    wchar_t keptPath[kSidePathChars] = {};
    if (number == 1) {
      os::FormatWide(keptPath, kSidePathChars, L"%ls.damaged", recordPath);
    } else {
      os::FormatWide(keptPath, kSidePathChars, L"%ls.damaged.%d", recordPath, number);
    }
    if (!os::FileExists(keptPath)) return CopyBytes(recordPath, keptPath);
  }
  return false;
}

bool IsInside(const TiXmlNode* node, const TiXmlNode* ancestor) {
  for (const TiXmlNode* parent = node->Parent(); parent != nullptr; parent = parent->Parent()) {
    if (parent == ancestor) return true;
  }
  return false;
}

// Moves this version's CurVersion on to `patchVersion`. It is the one the
// patch-state check reads: the first met by the walk from the version
// element. When that walk meets none inside this version's element (only a
// later version's, or none at all), a CurVersion is made as the element's
// first child, where the walk meets it first; another version's entry is
// never changed.
void SetCurrentVersion(TiXmlElement* versionElement, const char* patchVersion) {
  TiXmlElement* current = FindElement(versionElement, "CurVersion");
  if (current == nullptr || !IsInside(current, versionElement)) {
    TiXmlElement fresh("CurVersion");
    TiXmlNode* first = versionElement->FirstChild();
    TiXmlNode* added = first != nullptr ? versionElement->InsertBeforeChild(first, fresh)
                                        : versionElement->InsertEndChild(fresh);
    current = added != nullptr ? added->ToElement() : nullptr;
    if (current == nullptr) return;
  }
  // The number is the element's first child when that is text. Any other
  // first child (a comment, an element) is left alone and the text goes
  // before it: renaming it would write a broken or unreadable record.
  TiXmlNode* first = current->FirstChild();
  if (first == nullptr) {
    current->InsertEndChild(TiXmlText(patchVersion));
  } else if (first->Type() == TiXmlNode::TINYXML_TEXT) {
    first->SetValue(patchVersion);
  } else {
    current->InsertBeforeChild(first, TiXmlText(patchVersion));
  }
}

}  // namespace

void CreatePatchRecord(const wchar_t* recordPath) {
  // Only a missing or blank record is laid down anew; one with content,
  // or one that is there but cannot be opened, is never replaced.
  if (os::FileExists(recordPath)) {
    TiXmlDocument existing;
    if (LoadXmlFile(&existing, recordPath) != XmlLoad::kBlank) return;
  }
  TiXmlDocument record;
  record.InsertEndChild(TiXmlDeclaration("1.0", "UTF-8", ""));
  record.InsertEndChild(TiXmlElement("UpdateQL"));
  SaveRecord(record, recordPath);  // a record not written shows on the next run
}

ResultCode RecordPatch(const wchar_t* recordPath) {
  char version[kValueBytes] = {};
  ResultCode result = ReadDataValue(kDataFileName, "Version", version, sizeof version);
  if (result != RC_SUCCEED) return result;
  char patchVersion[kValueBytes] = {};
  result = ReadDataValue(kDataFileName, "PatchVersion", patchVersion, sizeof patchVersion);
  if (result != RC_SUCCEED) return result;

  TiXmlDocument record;
  const XmlLoad load = LoadXmlFile(&record, recordPath);
  if (load == XmlLoad::kCannotOpen) return RC_XML_LOAD_FAILED;
  // A record the library cannot be given safely is left as it is: it has
  // no root to add to, like a record without one.
  if (load == XmlLoad::kRefused) return RC_XML_ELEMENT_MISSING;
  // A parse error is not fatal: the part read before it is kept and
  // extended, and the original bytes are kept beside the record.
  const bool damaged = load == XmlLoad::kLoaded && record.Error();
  TiXmlNode* rootNode = record.FirstChild("UpdateQL");
  TiXmlElement* root = rootNode != nullptr ? rootNode->ToElement() : nullptr;
  if (root == nullptr) return RC_XML_ELEMENT_MISSING;

  char versionName[kValueBytes + 8] = {};
  std::snprintf(versionName, sizeof versionName, "QL%s", version);
  char patchName[kValueBytes + 8] = {};
  std::snprintf(patchName, sizeof patchName, "Patch%s", patchVersion);
  int year = 0, month = 0, day = 0;
  os::LocalDate(&year, &month, &day);
  char date[32] = {};
  std::snprintf(date, sizeof date, "%04d-%02d-%02d", year, month, day);

  TiXmlElement patch(patchName);
  const char* const fields[][2] = {
      {"QlVersion", version}, {"PatchVersion", patchVersion}, {"Date", date}};
  TiXmlElement scratch("QlVersion");
  for (const auto& field : fields) {
    scratch.SetValue(field[0]);
    scratch.InsertEndChild(TiXmlText(field[1]));
    patch.InsertEndChild(scratch);
    scratch.Clear();
  }

  TiXmlElement* versionElement = FindElement(root, versionName);
  if (versionElement == nullptr) {
    TiXmlElement fresh(versionName);
    fresh.InsertEndChild(TiXmlElement("CurVersion"));
    fresh.InsertEndChild(patch);
    TiXmlNode* added = root->InsertEndChild(fresh);
    versionElement = added != nullptr ? added->ToElement() : nullptr;
    // The patch-state check finds the version element with a walk from
    // the root, which does not look inside a root whose first child is
    // text or a comment, and stops along the siblings at a comment. Where
    // the walk would not reach the end, the element goes first instead,
    // or the patch would be recorded where no check ever sees it.
    if (versionElement != nullptr && FindElement(root, versionName) != versionElement) {
      root->RemoveChild(versionElement);
      added = root->InsertBeforeChild(root->FirstChild(), fresh);
      versionElement = added != nullptr ? added->ToElement() : nullptr;
    }
  } else {
    // An earlier patch element of the same name stays; the record may hold several.
    versionElement->InsertEndChild(patch);
  }
  if (versionElement != nullptr) SetCurrentVersion(versionElement, patchVersion);

  // Nothing is saved over a damaged record whose bytes could not be kept.
  // A record that could not be written shows on the next run, which applies
  // the patch again; the caller does not look at this result.
  if (damaged && !KeepDamagedRecord(recordPath)) return RC_SUCCEED;
  if (SaveRecord(record, recordPath, versionName, patchVersion) == Saved::kUnseen &&
      versionElement != nullptr && versionElement != root->FirstChild()) {
    // What comes before the version element does not read back as it was
    // written. First in the root, the element is read before any of it;
    // when even that is not seen, the record is left as it was.
    TiXmlElement moved(*versionElement);
    versionElement->Parent()->RemoveChild(versionElement);
    root->InsertBeforeChild(root->FirstChild(), moved);
    SaveRecord(record, recordPath, versionName, patchVersion);
  }
  return RC_SUCCEED;
}
