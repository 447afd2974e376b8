// Fuzzes the patch record: the input is the record file in the install
// folder's backup folder; the patch state is evaluated on it and, as the
// apply mode does, the patch is then recorded in it.
//
// Invariants: the state is 16, 17, 18 or 19, and 17 only for a blank
// file; recording answers 0 or 3; after recording the state is 19, or the
// record is left byte for byte as it was (a record without a usable root,
// or one in which no written form would show the patch);
// a record that did not parse has its bytes kept beside it; the recording
// leaves no temporary file behind.
#include <cstddef>
#include <cstdint>
#include <string>

#include <tinyxml.h>

#include "fuzz/fuzz_support.h"
#include "patchdata/patchdata.h"
#include "shared/shared.h"

namespace {

const char kDescription[] =
    "<UpdateQL>\n    <Version>4.20</Version>\n    <BuildID>0137</BuildID>\n"
    "    <PatchVersion>03</PatchVersion>\n    <WerNum>1</WerNum>\n"
    "    <WER1><UpdateModule>core.dll</UpdateModule></WER1>\n</UpdateQL>\n";

bool IsBlank(const std::string& bytes) { return bytes.find_first_not_of(" \t\r\n") == std::string::npos; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const FuzzMachine& machine = Machine();
  ResetPlatform();
  WriteBytes(machine.work + "/" + kDataFileName, kDescription);
  RemoveTree(machine.backupRoot);
  MakeFolder(machine.backupRoot);
  WriteBytes(machine.record, bytes);

  wchar_t recordPath[kPathChars] = {};
  const ResultCode state = EvaluatePatchState(recordPath);
  if (state != RC_NOT_PATCHED && state != RC_RECORD_MISSING && state != RC_DECIMAL_CONVERSION_FAILED &&
      state != RC_PATCH_IS_LATEST) {
    Broken("state answered", std::to_string(state));
  }
  if ((state == RC_RECORD_MISSING) != IsBlank(bytes)) Broken("missing record misjudged");
  if (state == RC_RECORD_MISSING) CreatePatchRecord(recordPath);

  const std::string beforeRecording = ReadBytes(machine.record);
  const ResultCode recorded = RecordPatch(recordPath);
  const std::string after = ReadBytes(machine.record);
  bool leftover = false;
  ReadBytes(machine.record + ".tmp", &leftover);
  if (leftover) Broken("temporary record left behind");
  if (recorded == RC_XML_ELEMENT_MISSING) {
    if (after != bytes) Broken("record without a root was changed");
    return 0;
  }
  if (recorded != RC_SUCCEED) Broken("recording answered", std::to_string(recorded));

  // Recorded where the check sees it, or, when no written form would show
  // it, not written at all.
  const ResultCode again = EvaluatePatchState(recordPath);
  if (again != RC_PATCH_IS_LATEST && after != beforeRecording) {
    Broken("recorded patch not seen", std::to_string(again));
  }

  // A record the library could not parse whole is kept as it was.
  if (state != RC_RECORD_MISSING) {
    TiXmlDocument original;
    const std::string text = LibraryText(bytes);
    original.Parse(text.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    bool kept = false;
    const std::string copy = ReadBytes(machine.record + ".damaged", &kept);
    if (original.Error() && (!kept || copy != bytes)) Broken("damaged record's bytes not kept");
    if (!original.Error() && kept) Broken("sound record kept as damaged");
  }
  return 0;
}
