// The patch record: laying down a new one and adding an applied patch to it.
#include <tinyxml.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>

#include "patchdata/patchdata_internal.h"
#include "shared/file_steps.h"
#include "shared/run_log.h"
#include "shared/shared.h"

namespace {

// How many names beside the record are tried for a kept copy or the
// temporary file.
constexpr int kSideNameLimit = 100;

// What a written record must tell the patch-state check about this patch.
struct ReadBack {
  const char* versionName;  // "QL" + Version
  int32_t patchNumber;
  bool applied;  // 19 for this patch, or (after an undo) a state that lets it apply again
};

enum class Saved { kYes, kFailed, kUnseen };

// kYes when the written file reads as expected, kUnseen when it reads
// otherwise, kFailed when it cannot be read at all.
Saved ReadBackOf(const wchar_t* writtenPath, const ReadBack& expected) {
  int32_t recorded = 0;
  const ResultCode found = ReadRecordedPatch(writtenPath, expected.versionName, &recorded);
  if (found == RC_RECORD_MISSING || found == RC_XML_LOAD_FAILED) return Saved::kFailed;
  const bool applied = found == RC_SUCCEED && recorded >= expected.patchNumber;
  const bool reads = expected.applied ? applied : !applied && found != RC_DECIMAL_CONVERSION_FAILED;
  return reads ? Saved::kYes : Saved::kUnseen;
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

// Writes the document to a temporary file beside the record and then puts
// it in the record's place in one step. The temporary name is the first of
// "QlPatch.xml.tmp", ".tmp.2", ... that no folder or link takes (a file
// there is a leftover of a run that was cut off; a link is passed over, as
// writing through it would write where it points). When any step fails the temporary
// file is removed and the old record stays as it was. Given what the
// record must tell the check, the written file is first read back the way
// the check reads it: the library does not always read what it wrote the
// same way (an attribute value that is not valid UTF-8 in a UTF-8 record
// takes its closing quote with it), and a record that reads otherwise is
// not put in place (kUnseen).
bool IsHeldError(uint32_t error) { return error == os::kErrorSharingViolation || error == os::kErrorLockViolation; }

// `held`, when given, tells whether another program held the record open
// past the retries.
Saved SaveRecord(const TiXmlDocument& document, const wchar_t* recordPath,
                 const ReadBack* expected = nullptr, bool* held = nullptr) {
  wchar_t tempPath[kPathChars] = {};
  bool named = false;
  for (int number = 1; number <= kSideNameLimit && !named; ++number) {
    named = SidePath(tempPath, recordPath, L".tmp", number) && !os::IsReparsePoint(tempPath) &&
            (os::FileExists(tempPath) || !os::PathExists(tempPath));
  }
  if (!named) return Saved::kFailed;
  FileStep step;
  // A leftover of a cut-off run may be read-only; an agent may hold it.
  std::FILE* file = nullptr;
  if (ClearBlockingAttributes(tempPath)) {
    RetryFileOperation([&file, &tempPath] {
      file = os::OpenFile(tempPath, L"w");  // text mode: CR LF on Windows
      return file != nullptr;
    }, &step);
  }
  if (file == nullptr) {
    LogFailure(step.error, L"record: %ls cannot be written (%d tries)", tempPath, step.tries);
    return Saved::kFailed;
  }
  bool saved = document.SaveFile(file) && os::FlushToDisk(file);
  if (std::fclose(file) != 0) saved = false;
  Saved outcome = saved ? Saved::kYes : Saved::kFailed;
  if (saved && expected != nullptr) outcome = ReadBackOf(tempPath, *expected);
  if (outcome == Saved::kYes && !ReplaceRetrying(tempPath, recordPath, &step)) {
    LogFailure(step.error, L"record: %ls cannot be replaced (%d tries)", recordPath, step.tries);
    if (held != nullptr) *held = IsHeldError(step.error) || step.error == os::kErrorAccessDenied;
    outcome = Saved::kFailed;
  }
  if (outcome != Saved::kYes) {
    FileStep cleanUp;
    DeleteRetrying(tempPath, &cleanUp);
  }
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
  int32_t patchNumber;
  const TiXmlElement* patch;  // "Patch" + PatchVersion, with its three fields
};

// Adds the patch to the record and saves it. The patch goes into this
// version's element, or a new one at the end of the root. The written
// record is read back: where the check would not see the patch there (its
// walk from the root does not look inside a root whose first child is text
// or a comment, and stops along the siblings at a comment; what comes
// before may not read back as it was written), the element goes first in
// the root, where it is read before anything else.
Saved AddPatchAndSave(TiXmlDocument* record, const PatchEntry& entry, const wchar_t* recordPath, bool* held) {
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

  const ReadBack applied{entry.versionName, entry.patchNumber, true};
  Saved saved = SaveRecord(*record, recordPath, &applied, held);
  if (saved == Saved::kUnseen && versionElement != root->FirstChild()) {
    TiXmlElement moved(*versionElement);
    versionElement->Parent()->RemoveChild(versionElement);
    root->InsertBeforeChild(root->FirstChild(), moved);
    saved = SaveRecord(*record, recordPath, &applied, held);
  }
  return saved;
}

}  // namespace

bool RecordAbsentOrBlank(const wchar_t* recordPath) {
  if (!os::PathExists(recordPath)) return true;
  TiXmlDocument existing;
  return LoadXmlFile(&existing, recordPath) == XmlLoad::kBlank;
}

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

ResultCode RecordPatch(const PatchDescription& description, const wchar_t* recordPath, bool* held) {
  if (held != nullptr) *held = false;
  PatchIdentity identity;
  const ResultCode result = ReadPatchIdentity(description, &identity);
  if (result != RC_SUCCEED) return result;
  const char* version = identity.version;
  const char* patchVersion = identity.patchVersion;
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
  const PatchEntry entry{identity.versionName, patchVersion, identity.patchNumber, &patch};

  // A record another program has open for a moment is waited for.
  TiXmlDocument record;
  FileStep open;
  const XmlLoad load = LoadRecordWaiting(&record, recordPath, &open);
  if (load == XmlLoad::kCannotOpen) {
    LogFailure(open.error, L"record: %ls cannot be opened (%d tries)", recordPath, open.tries);
    if (held != nullptr) *held = IsHeldError(open.error);
    return RC_XML_LOAD_FAILED;
  }
  // A record the library could not be given, one without a usable root, and
  // one with a parse error have bytes the save would lose: they are kept
  // beside the record first, and nothing is saved over bytes that could not
  // be kept. A blank one holds nothing to keep.
  const bool usable = load == XmlLoad::kLoaded && RecordRoot(&record) != nullptr;
  const bool damaged = load == XmlLoad::kRefused || (load == XmlLoad::kLoaded && (!usable || record.Error()));
  if (damaged && !KeepDamagedRecord(recordPath)) return RC_XML_LOAD_FAILED;

  // A record with a root is extended: the part read before a parse error
  // is kept. Any other gets a fresh record holding this patch, or the patch
  // would never be recorded and every later run would apply it again.
  if (usable) {
    const Saved saved = AddPatchAndSave(&record, entry, recordPath, held);
    if (saved != Saved::kUnseen) return saved == Saved::kYes ? RC_SUCCEED : RC_XML_LOAD_FAILED;
    // The same for a record in which even the first place does not read back.
    if (!KeepDamagedRecord(recordPath)) return RC_XML_LOAD_FAILED;
  }
  TiXmlDocument fresh;
  LayDownEmptyRecord(&fresh);
  // A record that could not be written is reported: the run did not record
  // the patch, and the next one applies it again.
  return AddPatchAndSave(&fresh, entry, recordPath, held) == Saved::kYes ? RC_SUCCEED : RC_XML_LOAD_FAILED;
}

namespace {

// The number of a patch element ("Patch" + digits); false for any other element.
bool PatchElementNumber(const TiXmlNode* node, int32_t* number) {
  const char* name = node->Value();
  return node->Type() == TiXmlNode::TINYXML_ELEMENT && std::strncmp(name, "Patch", 5) == 0 &&
         IsPatchNumber(name + 5) && PatchNumberValue(name + 5, number);
}

}  // namespace

ResultCode UnrecordPatch(const PatchDescription& description, const wchar_t* recordPath,
                         const char* previousCurrent) {
  PatchIdentity identity;
  const ResultCode result = ReadPatchIdentity(description, &identity);
  if (result != RC_SUCCEED) return result;
  const char* versionName = identity.versionName;
  const int32_t patchNumber = identity.patchNumber;

  TiXmlDocument record;
  FileStep open;
  const XmlLoad load = LoadRecordWaiting(&record, recordPath, &open);
  if (load == XmlLoad::kCannotOpen) {
    LogFailure(open.error, L"record: %ls cannot be read (%d tries)", recordPath, open.tries);
  }
  if (load != XmlLoad::kLoaded) return RC_XML_LOAD_FAILED;
  TiXmlElement* root = RecordRoot(&record);
  // The version element the check reads.
  TiXmlElement* versionElement = root != nullptr ? FindElement(root, versionName) : nullptr;
  if (versionElement == nullptr) return RC_XML_ELEMENT_MISSING;
  if (record.Error() && !KeepDamagedRecord(recordPath)) return RC_XML_LOAD_FAILED;

  // This patch's elements go (the record may hold several); the last patch
  // left, in the order of application, becomes current again.
  const TiXmlElement* last = nullptr;
  for (TiXmlNode* child = versionElement->FirstChild(); child != nullptr;) {
    TiXmlNode* next = child->NextSibling();
    int32_t number = 0;
    if (PatchElementNumber(child, &number)) {
      if (number == patchNumber) {
        versionElement->RemoveChild(child);
      } else {
        last = child->ToElement();
      }
    }
    child = next;
  }
  if (last == nullptr && previousCurrent != nullptr && IsPatchNumber(previousCurrent)) {
    // No patch element is left to name the patch that was current before:
    // the CurVersion the apply found goes back.
    SetCurrentVersion(versionElement, previousCurrent);
  } else if (last == nullptr) {
    versionElement->Parent()->RemoveChild(versionElement);
  } else {
    const TiXmlElement* field = last->FirstChildElement("PatchVersion");
    const char* text = field != nullptr ? ElementText(field) : nullptr;
    SetCurrentVersion(versionElement, text != nullptr && IsPatchNumber(text) ? text : last->Value() + 5);
  }

  const ReadBack undone{versionName, patchNumber, false};
  switch (SaveRecord(record, recordPath, &undone)) {
    case Saved::kYes: return RC_SUCCEED;
    case Saved::kUnseen: return RC_XML_ELEMENT_MISSING;  // the record stays as it was
    default: return RC_XML_LOAD_FAILED;
  }
}

namespace {

// The kept CurVersion's file: in the per-patch backup folder beside the
// record's folder. False when it would not fit.
bool PreviousCurrentPath(const wchar_t* recordPath, wchar_t (&path)[kPathChars]) {
  wchar_t folder[kPathChars] = {};
  std::wcsncpy(folder, recordPath, kPathChars - 1);
  wchar_t* lastSeparator = std::wcsrchr(folder, L'\\');
  if (lastSeparator == nullptr || g_backupFolderName[0] == 0) return false;
  *lastSeparator = 0;
  return BuildPath(path, folder, g_backupFolderName, kPreviousCurrentName);
}

}  // namespace

bool KeepPreviousCurrent(const PatchDescription& description, const wchar_t* recordPath) {
  wchar_t path[kPathChars] = {};
  PatchIdentity identity;
  if (!PreviousCurrentPath(recordPath, path) || ReadPatchIdentity(description, &identity) != RC_SUCCEED) return false;
  TiXmlDocument record;
  std::string text;
  FileStep open;
  if (LoadRecordWaiting(&record, recordPath, &open) == XmlLoad::kLoaded) {
    TiXmlElement* versionNode = FindElement(record.FirstChild("UpdateQL"), identity.versionName);
    TiXmlElement* current = versionNode ? FindElement(versionNode, "CurVersion") : nullptr;
    const char* currentText = current != nullptr ? ElementText(current) : nullptr;
    if (currentText != nullptr && IsPatchNumber(currentText)) text = currentText;
  }
  FileStep step;
  if (text.empty()) {
    DeleteRetrying(path, &step);  // an earlier run's, now out of date
    return true;
  }
  wchar_t folder[kPathChars] = {};
  std::wcsncpy(folder, path, kPathChars - 1);
  *std::wcsrchr(folder, L'\\') = 0;
  os::MakeDirectory(folder);
  if (!ClearBlockingAttributes(path) || !WriteBytes(path, text)) {
    LogFailure(os::LastError(), L"record: the CurVersion this patch replaces cannot be kept in %ls", path);
    return false;
  }
  LogEvent(L"record: the CurVersion this patch replaces is kept in %ls", path);
  return true;
}

bool ReadPreviousCurrent(const wchar_t* recordPath, char* text, size_t textBytes) {
  wchar_t path[kPathChars] = {};
  std::string bytes;
  if (!PreviousCurrentPath(recordPath, path) || !os::FileExists(path) || !ReadBytes(path, &bytes)) return false;
  if (bytes.size() + 1 > textBytes || !IsPatchNumber(bytes.c_str())) return false;
  std::memcpy(text, bytes.c_str(), bytes.size() + 1);
  return true;
}

void ForgetPreviousCurrent(const wchar_t* recordPath) {
  wchar_t path[kPathChars] = {};
  FileStep step;
  if (PreviousCurrentPath(recordPath, path)) DeleteRetrying(path, &step);
}
