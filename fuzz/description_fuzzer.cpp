// Fuzzes the description file readers: the input is the patch description
// file in the working folder, read for every element name the tool uses,
// and the version check run on it.
//
// Invariants: the readers answer only 0 or 3 (the file is there); a value
// fits its buffer with its terminator, and a refused value leaves the
// buffer empty; the check answers 0, 3, 4 or 5; the element starts counted
// before a parse are never fewer than the nesting the library builds; and
// the library never reads past the end of what it is given
// (AddressSanitizer sees that).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "patchdata/patchdata_internal.h"
#include "shared/shared.h"

namespace {

void CheckValue(ResultCode result, const char* value, size_t size, const char* element) {
  if (result != RC_SUCCEED && result != RC_XML_ELEMENT_MISSING) Broken("reader answered", element);
  if (value[size - 1] != 0) Broken("value not terminated", element);
  if (result != RC_SUCCEED && value[0] != 0) Broken("refused value was written", element);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const FuzzMachine& machine = Machine();
  ResetPlatform();
  WriteBytes(machine.work + "/" + kDataFileName, bytes);

  for (const char* element : {"UpdateQL", "Version", "BuildID", "PatchVersion", "WerNum", "WER1",
                              "WER2", "UpdateModule"}) {
    char value[kValueBytes] = {};
    CheckValue(ReadDataValue(kDataFileName, element, value, sizeof value), value, sizeof value, element);
    char shortValue[kVersionValueBytes] = {};
    CheckValue(ReadDataValue(kDataFileName, element, shortValue, sizeof shortValue), shortValue,
               sizeof shortValue, element);
  }
  for (const char* outer : {"WER1", "WER2", "WER3"}) {
    char value[kValueBytes] = {};
    CheckValue(ReadNestedDataValue(kDataFileName, outer, "UpdateModule", value, sizeof value), value,
               sizeof value, outer);
  }
  const ResultCode check = CheckInstalledProduct(ReadInstallInfo(), ReadPatchDescription());
  if (check != RC_SUCCEED && check != RC_XML_ELEMENT_MISSING && check != RC_VERSION_MISMATCH &&
      check != RC_BUILD_ID_MISMATCH) {
    Broken("version check answered", std::to_string(check));
  }

  // The element starts counted before the parse bound what the library
  // builds of every text it is given.
  const std::string text = LibraryText(bytes);
  const int starts = CountElementStarts(text);
  if (starts <= kMaxXmlElements) {
    const int built = LibraryDepth(text);
    if (built > starts) Broken("nesting undercounted", std::to_string(built) + " > " + std::to_string(starts));
  }
  return 0;
}
