// Fuzzes the patch record: the input is the record file in the install
// folder's backup folder; the patch state is evaluated on it and, as the
// apply mode does, the patch is then recorded in it.
//
// Invariants: the state is 16, 17, 18 or 19, and 17 only for a blank
// file (white space and zero bytes after an optional byte-order mark);
// recording answers 0, and afterwards the state is 19, whatever the record
// held; a record that did not parse, or has no usable root, has its bytes
// kept beside it; a sound one is kept only when it is replaced by a fresh
// record; the recording leaves no temporary file behind.
#include <cstddef>
#include <cstdint>
#include <string>

#include <tinyxml.h>

#include "fuzz/fuzz_support.h"
#include "patchdata/patchdata_internal.h"
#include "shared/shared.h"

namespace {

const char kDescription[] =
    "<UpdateQL>\n    <Version>4.20</Version>\n    <BuildID>0137</BuildID>\n"
    "    <PatchVersion>03</PatchVersion>\n    <WerNum>1</WerNum>\n"
    "    <WER1><UpdateModule>core.dll</UpdateModule></WER1>\n</UpdateQL>\n";

bool IsBlank(const std::string& bytes) {
  const size_t start = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  return bytes.find_first_not_of(std::string(" \t\r\n\0", 5), start) == std::string::npos;
}

// The record a blank one becomes: what a replaced record must read.
const std::string& FreshRecord(const FuzzMachine& machine) {
  static const std::string fresh = [&machine] {
    WriteBytes(machine.record, "");
    wchar_t recordPath[kPathChars] = {};
    EvaluatePatchState(ReadInstallInfo(), ReadPatchDescription(), recordPath);
    CreatePatchRecord(recordPath);
    RecordPatch(ReadPatchDescription(), recordPath);
    return ReadBytes(machine.record);
  }();
  return fresh;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const FuzzMachine& machine = Machine();
  ResetPlatform();
  WriteBytes(machine.work + "/" + kDataFileName, kDescription);
  RemoveTree(machine.backupRoot);
  MakeFolder(machine.backupRoot);
  const std::string& fresh = FreshRecord(machine);
  WriteBytes(machine.record, bytes);

  wchar_t recordPath[kPathChars] = {};
  const ResultCode state = EvaluatePatchState(ReadInstallInfo(), ReadPatchDescription(), recordPath);
  if (state != RC_NOT_PATCHED && state != RC_RECORD_MISSING && state != RC_DECIMAL_CONVERSION_FAILED &&
      state != RC_PATCH_IS_LATEST) {
    Broken("state answered", std::to_string(state));
  }
  if ((state == RC_RECORD_MISSING) != IsBlank(bytes)) Broken("missing record misjudged");
  if (state == RC_RECORD_MISSING) CreatePatchRecord(recordPath);

  const ResultCode recorded = RecordPatch(ReadPatchDescription(), recordPath);
  const std::string after = ReadBytes(machine.record);
  bool leftover = false;
  ReadBytes(machine.record + ".tmp", &leftover);
  if (leftover) Broken("temporary record left behind");
  if (recorded != RC_SUCCEED) Broken("recording answered", std::to_string(recorded));

  // Recorded where the check sees it, whatever the record held.
  const ResultCode again = EvaluatePatchState(ReadInstallInfo(), ReadPatchDescription(), recordPath);
  if (again != RC_PATCH_IS_LATEST) Broken("recorded patch not seen", std::to_string(again));

  // What the library could not read whole is kept as it was.
  if (state != RC_RECORD_MISSING) {
    TiXmlDocument original;
    const std::string text = LibraryText(bytes);
    const bool refused = ParseXmlText(&original, text) == XmlLoad::kRefused;
    const TiXmlNode* root = original.FirstChild("UpdateQL");
    const bool sound = !refused && !original.Error() && root != nullptr && root->ToElement() != nullptr;
    bool kept = false;
    const std::string copy = ReadBytes(machine.record + ".damaged", &kept);
    if (!sound && (!kept || copy != bytes)) Broken("damaged record's bytes not kept");
    if (sound && kept && (copy != bytes || after != fresh)) Broken("sound record kept, yet extended");
  }
  return 0;
}
