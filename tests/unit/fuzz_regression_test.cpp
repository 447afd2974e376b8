// Inputs the fuzz targets in fuzz/ found, kept as plain unit tests.
#include <string>

#include "patchdata/patchdata_internal.h"
#include "shared/shared.h"
#include "tests/unit/test_support.h"

namespace {

class RecordReachTest : public MachineTest {};

TEST_F(RecordReachTest, PatchIsRecordedWhereTheCheckFindsIt) {
  // The check's walk does not look inside a root whose first child is text,
  // nor past a comment among the root's children: a version element
  // appended at the end would never be found, and the patch would be
  // applied again on every run.
  WriteDescription(Description("03"));
  for (const std::string& record :
       {std::string("\xEF\xBB\xBF<UpdateQL>CurVersion/></QL4.20></UpdateQL>"),
        std::string("<UpdateQL>loose text<QL4.10><CurVersion>01</CurVersion></QL4.10></UpdateQL>"),
        std::string("<UpdateQL><QL4.10/><!-- note --><QL4.30/></UpdateQL>")}) {
    WriteFile(recordPath_, record);
    wchar_t recordPath[kPathChars] = {};
    EXPECT_EQ(EvaluatePatchState(ReadInstallInfo(), ReadPatchDescription(), recordPath), RC_NOT_PATCHED) << record;
    EXPECT_EQ(RecordPatch(ReadPatchDescription(), recordPath), RC_SUCCEED) << record;
    EXPECT_EQ(EvaluatePatchState(ReadInstallInfo(), ReadPatchDescription(), recordPath), RC_PATCH_IS_LATEST) << record;
    if (record.find("<QL4.10") != std::string::npos) {
      EXPECT_NE(ReadFile(recordPath_).find("<QL4.10"), std::string::npos)
          << "other versions' entries stay: " << record;
    }
  }
  // Where the end is reachable, the new version goes at the end as before.
  WriteFile(recordPath_, "<UpdateQL><QL4.10><CurVersion>01</CurVersion></QL4.10></UpdateQL>");
  wchar_t recordPath[kPathChars] = {};
  EXPECT_EQ(EvaluatePatchState(ReadInstallInfo(), ReadPatchDescription(), recordPath), RC_NOT_PATCHED);
  EXPECT_EQ(RecordPatch(ReadPatchDescription(), recordPath), RC_SUCCEED);
  const std::string saved = ReadFile(recordPath_);
  EXPECT_LT(saved.find("<QL4.10>"), saved.find("<QL4.20>"));
}

TEST_F(RecordReachTest, PatchIsRecordedWhereTheWrittenRecordReadsBack) {
  // An unquoted attribute value is read byte by byte, but written quoted,
  // and in a UTF-8 record a quoted value is read character by character:
  // the lone lead byte \xC6 then takes the closing quote with it and the
  // rest of the record reads as garbage. Written after it, the new version
  // element would never be found; it goes first instead.
  WriteDescription(Description("03"));
  WriteFile(recordPath_,
            "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<UpdateQL><Note text=ab\xC6>x</Note>"
            "<QL4.10><CurVersion>01</CurVersion></QL4.10></UpdateQL>\n");
  wchar_t recordPath[kPathChars] = {};
  EXPECT_EQ(EvaluatePatchState(ReadInstallInfo(), ReadPatchDescription(), recordPath), RC_NOT_PATCHED);
  EXPECT_EQ(RecordPatch(ReadPatchDescription(), recordPath), RC_SUCCEED);
  EXPECT_EQ(EvaluatePatchState(ReadInstallInfo(), ReadPatchDescription(), recordPath), RC_PATCH_IS_LATEST);
  const std::string saved = ReadFile(recordPath_);
  EXPECT_LT(saved.find("<QL4.20>"), saved.find("<Note"));
  EXPECT_NE(saved.find("<CurVersion>01</CurVersion>"), std::string::npos);
  EXPECT_FALSE(Exists(recordPath_ + ".tmp"));
}

}  // namespace
