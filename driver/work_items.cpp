#include "driver/work_items.h"

#include "driver/journal.h"
#include "platform/platform.h"
#include "shared/run_log.h"

ResultCode WorkItemList::Do(std::unique_ptr<WorkItem> item) {
  const uint64_t start = os::TickMs();
  const std::wstring what = item->Describe();
  Note(L"begin", what);
  const ResultCode result = item->Do();
  done_.push_back(std::move(item));
  Note(result == RC_SUCCEED ? L"done" : L"failed", what);
  if (result == RC_SUCCEED) {
    LogEvent(L"done: %ls (%u ms)", what.c_str(), MsSince(start));
  } else {
    LogEvent(L"failed: %ls, code %d (%u ms)", what.c_str(), result, MsSince(start));
  }
  return result;
}

bool WorkItemList::RollBack() {
  LogEvent(L"putting back what this run changed, newest first");
  while (!done_.empty()) {
    std::unique_ptr<WorkItem> item = std::move(done_.back());
    done_.pop_back();
    const uint64_t start = os::TickMs();
    Note(L"undo", item->Describe());
    if (item->Undo()) {
      Note(L"undone", item->Describe());
      LogEvent(L"put back: %ls (%u ms)", item->Describe().c_str(), MsSince(start));
      continue;
    }
    Note(L"not undone", item->Describe());
    LogEvent(L"NOT put back: %ls (%u ms)", item->Describe().c_str(), MsSince(start));
    for (auto left = done_.rbegin(); left != done_.rend(); ++left) {
      LogEvent(L"left as it is: %ls", (*left)->Describe().c_str());
    }
    done_.clear();
    LogEvent(L"put-back incomplete: the steps above stay done, so that nothing runs on what was not put back");
    return false;
  }
  LogEvent(L"put-back complete");
  return true;
}

void WorkItemList::Note(const wchar_t* what, const std::wstring& step) {
  if (journal_ != nullptr) journal_->Note(what, step);
}
