// What a run that changes the machine has done, in order, each step owning
// what it needs to undo itself: a failure puts the product back as the run
// found it by undoing the steps done so far, newest first. The run log is
// written from the same steps, so what is logged is what can be undone.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "shared/result_codes.h"

class Journal;

class WorkItem {
 public:
  virtual ~WorkItem() = default;
  // What the step does, for the log ("stop the product's services").
  virtual std::wstring Describe() const = 0;
  // 0 or the failing step's code.
  virtual ResultCode Do() = 0;
  // Returns what Do changed to what Do found, also after a Do that failed
  // part of the way. False when it could not.
  virtual bool Undo() = 0;
};

class WorkItemList {
 public:
  // Each step is written in `journal` as it begins and once it has ended.
  void AttachJournal(Journal* journal) { journal_ = journal; }
  // Does `item` and keeps it, also when it fails (its Undo knows what part
  // of it was done). 0 or the item's code.
  ResultCode Do(std::unique_ptr<WorkItem> item);
  // Undoes the steps kept so far, newest first, and forgets them. Stops at
  // a step that cannot be undone: the steps before it stay done, so that
  // nothing older (the services' stop, above all) is undone over what that
  // step left. True when everything was put back.
  bool RollBack();

 private:
  void Note(const wchar_t* what, const std::wstring& step);
  std::vector<std::unique_ptr<WorkItem>> done_;
  Journal* journal_ = nullptr;
};
