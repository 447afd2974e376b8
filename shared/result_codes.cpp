#include "shared/result_codes.h"

#include "platform/platform.h"

namespace {

struct MessageEntry {
  ResultCode code;
  const wchar_t* message;
};

constexpr MessageEntry kMessages[] = {
    {RC_UNKNOWN, L"unknow error!"},
    {RC_SUCCEED, L"succeed!"},
    {RC_REGISTRY_READ_FAILED, L"read QL register value fail!"},
    {RC_XML_LOAD_FAILED, L"load xml fail!"},
    {RC_XML_ELEMENT_MISSING, L"unknow xml evelment!"},
    {RC_VERSION_MISMATCH, L"QL version unmatch!"},
    {RC_BUILD_ID_MISMATCH, L"QL build ID unmatch!"},
    {RC_OPEN_SCM_FAILED, L"open SCMANAGER error!"},
    {RC_OPEN_SERVICE_FAILED, L"open service error!"},
    {RC_QUERY_SERVICE_FAILED, L"get service state error!"},
    {RC_STOP_SERVICE_FAILED, L"stop service error!"},
    {RC_RUN_SERVICE_FAILED, L"run service error!"},
    {RC_START_SERVICE_FAILED, L"start service error!"},
    {RC_CREATE_BACKUP_DIR_FAILED, L"create backup directory error!"},
    {RC_MOVE_FILE_FAILED, L"move file error!"},
    {RC_COPY_FILE_FAILED, L"copy file error!"},
    {RC_ALREADY_PATCHED, L"Qorlink has patched!"},
    {RC_NOT_PATCHED, L"unpatch!"},
    {RC_RECORD_MISSING, L"patch file not find!"},
    {RC_DECIMAL_CONVERSION_FAILED, L"convert decimal fail!"},
    {RC_PATCH_IS_LATEST, L"Patch is latest!"},
    {RC_LATER_PATCH_APPLIED, L"later patch applied, undo it first!"},
    {RC_LINK_REFUSED, L"backup folder or module is a link!"},
    {RC_BACKUP_OPEN_TO_USERS, L"backup folder can be changed by users!"},
    {RC_ANOTHER_RUN_IN_PROGRESS, L"another update is running!"},
    {RC_SWAP_AT_RESTART, L"file in use, update will finish at restart!"},
};

}  // namespace

void FormatResultMessage(ResultCode code, wchar_t* buffer) {
  for (const MessageEntry& entry : kMessages) {
    if (entry.code == code) {
      os::FormatWide(buffer, kMessageChars, L"%ls", entry.message);
      return;
    }
  }
  os::FormatWide(buffer, kMessageChars, L"unknow error %d!", code);
}
