#include "driver/work_items.h"

#include "platform/platform.h"
#include "shared/run_log.h"

ResultCode WorkItemList::Do(std::unique_ptr<WorkItem> item) {
  const uint64_t start = os::TickMs();
  const std::wstring what = item->Describe();
  const ResultCode result = item->Do();
  done_.push_back(std::move(item));
  if (result == RC_SUCCEED) {
    LogEvent(L"done: %ls (%u ms)", what.c_str(), MsSince(start));
  } else {
    LogEvent(L"failed: %ls, code %d (%u ms)", what.c_str(), result, MsSince(start));
  }
  return result;
}

bool WorkItemList::RollBack() {
  LogEvent(L"putting back what this run changed, newest first");
  bool whole = true;
  bool all = true;
  while (!done_.empty()) {
    std::unique_ptr<WorkItem> item = std::move(done_.back());
    done_.pop_back();
    const uint64_t start = os::TickMs();
    const bool undone = item->Undo(whole);
    LogEvent(L"%ls: %ls (%u ms)", undone ? L"put back" : L"NOT put back", item->Describe().c_str(),
             MsSince(start));
    if (!undone) {
      all = false;
      if (item->ChangesModules()) whole = false;
    }
  }
  LogEvent(all ? L"put-back complete" : L"put-back incomplete: see the lines above for what is left");
  return all;
}
