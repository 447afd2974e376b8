// The patch record: laying down a new one and adding an applied patch to it.
#include <tinyxml.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "patchdata/patchdata_internal.h"
#include "shared/shared.h"

namespace {

// How many names beside the record are tried for a kept copy or the
// temporary file.
constexpr int kSideNameLimit = 100;

// What the patch-state check will see of this patch in a written record:
// the walk from the root finds the version element, the walk from there a
// CurVersion whose text is the patch's.
bool ShowsPatch(TiXmlDocument* written, const char* versionName, const char* patchVersion) {
  TiXmlElement* version = FindElement(written->FirstChild("UpdateQL"), versionName);
  TiXmlElement* current = version != nullptr ? FindElement(version, "CurVersion") : nullptr;
  const char* text = current != nullptr ? ElementText(current) : nullptr;
  return text != nullptr && std::strcmp(text, patchVersion) == 0;
}

// The path of the `number`-th name beside the record with this suffix:
// "QlPatch.xml.tmp", "QlPatch.xml.tmp.2", ... False when it would not fit
// the path bound.
bool SidePath(wchar_t* out, const wchar_t* recordPath, const wchar_t* suffix, int number) {
  wchar_t scratch[kPathChars * 2] = {};
  if (number == 1) {
    os::FormatWide(scratch, kPathChars * 2, L"%ls%ls", recordPath, suffix);
  } else {
    os::FormatWide(scratch, kPathChars * 2, L"%ls%ls.%d", recordPath, suffix, number);
  }
  const size_t length = std::wcslen(scratch);
  if (length >= static_cast<size_t>(kPathChars)) return false;
  std::wmemcpy(out, scratch, length + 1);
  return true;
}

// A file's bytes; false when it cannot be read.
bool ReadBytes(const wchar_t* path, std::string* bytes) {
  std::FILE* in = os::OpenFile(path, L"rb");
  if (in == nullptr) return false;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;) bytes->append(buffer, n);
  const bool read = !std::ferror(in);
  std::fclose(in);
  return read;
}

// Writes `bytes` to `target`, which is new, through to the disk.
bool WriteBytes(const wchar_t* target, const std::string& bytes) {
  std::FILE* out = os::OpenFile(target, L"wb");
  if (out == nullptr) return false;
  bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  written = os::FlushToDisk(out) && written;
  if (std::fclose(out) != 0) written = false;
  if (!written) os::DeleteFileAt(target);
  return written;
}

enum class Saved { kYes, kFailed, kUnseen };

// Writes the document to a temporary file beside the record and then puts
// it in the record's place in one step. The temporary name is the first of
// "QlPatch.xml.tmp", ".tmp.2", ... that no folder takes (a file there is a
// leftover of a run that was cut off). When any step fails the temporary
// file is removed and the old record stays as it was. Given a version
// element name and a patch, the written file is first read back: the
// library does not always read what it wrote the same way (an attribute
// value that is not valid UTF-8 in a UTF-8 record takes its closing quote
// with it), and a record in which the check would not see the patch is not
// put in place (kUnseen).
Saved SaveRecord(const TiXmlDocument& document, const wchar_t* recordPath,
                 const char* versionName = nullptr, const char* patchVersion = nullptr) {
  wchar_t tempPath[kPathChars] = {};
  bool named = false;
  for (int number = 1; number <= kSideNameLimit && !named; ++number) {
    named = SidePath(tempPath, recordPath, L".tmp", number) &&
            (os::FileExists(tempPath) || !os::PathExists(tempPath));
  }
  if (!named) return Saved::kFailed;
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

// A record that did not parse would lose what the library could not read
// when it is saved again. Its bytes are first kept beside it under the first
// free name of "QlPatch.xml.damaged", "QlPatch.xml.damaged.2", ...: an
// earlier kept copy is never overwritten, a name a folder takes is passed
// over, and bytes kept already under one of the names are not kept again.
// False when no copy could be made.
bool KeepDamagedRecord(const wchar_t* recordPath) {
  std::string bytes;
  if (!ReadBytes(recordPath, &bytes)) return false;
  for (int number = 1; number <= kSideNameLimit; ++number) {
    wchar_t keptPath[kPathChars] = {};
    if (!SidePath(keptPath, recordPath, L".damaged", number)) return false;
    if (!os::PathExists(keptPath)) return WriteBytes(keptPath, bytes);
    std::string kept;
    if (os::FileExists(keptPath) && ReadBytes(keptPath, &kept) && kept == bytes) return true;
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

// The record's root, when the document has a usable one.
TiXmlElement* RecordRoot(TiXmlDocument* record) {
  TiXmlNode* root = record->FirstChild("UpdateQL");
  return root != nullptr ? root->ToElement() : nullptr;
}

// An empty record: the declaration and the root.
void LayDownEmptyRecord(TiXmlDocument* record) {
  record->InsertEndChild(TiXmlDeclaration("1.0", "UTF-8", ""));
  record->InsertEndChild(TiXmlElement("UpdateQL"));
}

// What is added to the record for this patch.
struct PatchEntry {
  const char* versionName;   // "QL" + Version
  const char* patchVersion;  // the PatchVersion text
  const TiXmlElement* patch;  // "Patch" + PatchVersion, with its three fields
};

// Adds the patch to the record and saves it. The patch goes into this
// version's element, or a new one at the end of the root. The written
// record is read back: where the check would not see the patch there (its
// walk from the root does not look inside a root whose first child is text
// or a comment, and stops along the siblings at a comment; what comes
// before may not read back as it was written), the element goes first in
// the root, where it is read before anything else.
Saved AddPatchAndSave(TiXmlDocument* record, const PatchEntry& entry, const wchar_t* recordPath) {
  TiXmlElement* root = RecordRoot(record);
  TiXmlElement* versionElement = FindElement(root, entry.versionName);
  if (versionElement == nullptr) {
    TiXmlElement fresh(entry.versionName);
    fresh.InsertEndChild(TiXmlElement("CurVersion"));
    fresh.InsertEndChild(*entry.patch);
    TiXmlNode* added = root->InsertEndChild(fresh);
    versionElement = added != nullptr ? added->ToElement() : nullptr;
  } else {
    // An earlier patch element of the same name stays; the record may hold several.
    versionElement->InsertEndChild(*entry.patch);
  }
  if (versionElement == nullptr) return Saved::kFailed;
  SetCurrentVersion(versionElement, entry.patchVersion);

  Saved saved = SaveRecord(*record, recordPath, entry.versionName, entry.patchVersion);
  if (saved == Saved::kUnseen && versionElement != root->FirstChild()) {
    TiXmlElement moved(*versionElement);
    versionElement->Parent()->RemoveChild(versionElement);
    root->InsertBeforeChild(root->FirstChild(), moved);
    saved = SaveRecord(*record, recordPath, entry.versionName, entry.patchVersion);
  }
  return saved;
}

}  // namespace

void CreatePatchRecord(const wchar_t* recordPath) {
  // Only a missing or blank record is laid down anew; one with content,
  // or one that is there but cannot be opened, is never replaced.
  if (os::FileExists(recordPath)) {
    TiXmlDocument existing;
    if (LoadXmlFile(&existing, recordPath) != XmlLoad::kBlank) return;
  }
  // A patch without modules made no backup folder, where the record lives.
  wchar_t folder[kPathChars] = {};
  std::wcsncpy(folder, recordPath, kPathChars - 1);
  wchar_t* lastSeparator = std::wcsrchr(folder, L'\\');
  if (lastSeparator != nullptr) {
    *lastSeparator = 0;
    if (!os::MakeDirectory(folder) && os::LastError() != os::kErrorAlreadyExists) return;
  }
  TiXmlDocument record;
  LayDownEmptyRecord(&record);
  SaveRecord(record, recordPath);  // a record not written shows on the next run
}

ResultCode RecordPatch(const wchar_t* recordPath) {
  char version[kValueBytes] = {};
  char patchVersion[kValueBytes] = {};
  ResultCode result = ReadPatchIdentity(version, patchVersion);
  if (result != RC_SUCCEED) return result;

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
  const PatchEntry entry{versionName, patchVersion, &patch};

  TiXmlDocument record;
  const XmlLoad load = LoadXmlFile(&record, recordPath);
  if (load == XmlLoad::kCannotOpen) return RC_XML_LOAD_FAILED;
  // A record the library could not be given, one without a usable root, and
  // one with a parse error have bytes the save would lose: they are kept
  // beside the record first, and nothing is saved over bytes that could not
  // be kept. A blank one holds nothing to keep.
  const bool usable = load == XmlLoad::kLoaded && RecordRoot(&record) != nullptr;
  const bool damaged = load == XmlLoad::kRefused || (load == XmlLoad::kLoaded && (!usable || record.Error()));
  if (damaged && !KeepDamagedRecord(recordPath)) return RC_SUCCEED;

  // A record with a root is extended: the part read before a parse error
  // is kept. Any other gets a fresh record holding this patch, or the patch
  // would never be recorded and every later run would apply it again.
  if (usable && AddPatchAndSave(&record, entry, recordPath) != Saved::kUnseen) return RC_SUCCEED;
  // The same for a record in which even the first place does not read back.
  if (usable && !KeepDamagedRecord(recordPath)) return RC_SUCCEED;
  TiXmlDocument fresh;
  LayDownEmptyRecord(&fresh);
  AddPatchAndSave(&fresh, entry, recordPath);
  // A record that could not be written shows on the next run, which applies
  // the patch again; the caller does not look at this result.
  return RC_SUCCEED;
}
