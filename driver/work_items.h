// What a run that changes the machine has done, in order, each step able
// to undo itself: a failure puts the product back as the run found it by
// undoing the steps done so far, newest first. The run log is written from
// the same steps, so what is logged is what can be undone.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "driver/result_codes.h"

class WorkItem {
 public:
  virtual ~WorkItem() = default;
  // What the step does, for the log ("stop the product's services").
  virtual std::wstring Describe() const = 0;
  // 0 or the failing step's code.
  virtual ResultCode Do() = 0;
  // Puts back what Do changed, also after a Do that failed part of the way.
  // `productWhole`: every module undone so far is whole and as the run
  // found it; a step that would start the product on anything else leaves
  // it alone. False when the step could not be undone.
  virtual bool Undo(bool productWhole) = 0;
  // Whether the step changes modules (a failed undo of it keeps the
  // product from being started again).
  virtual bool ChangesModules() const { return false; }
};

class WorkItemList {
 public:
  // Does `item` and keeps it, also when it fails (its Undo knows what part
  // of it was done). 0 or the item's code.
  ResultCode Do(std::unique_ptr<WorkItem> item);
  // Undoes every step kept so far, newest first, and forgets them. Goes on
  // past a step that cannot be undone; once a module could not be put back,
  // the services are left stopped. True when everything was put back.
  bool RollBack();

 private:
  std::vector<std::unique_ptr<WorkItem>> done_;
};
