// The steps the apply and the undo are made of, as work items, and the run
// log lines that frame a run.
#pragma once

#include <memory>

#include "driver/work_items.h"
#include "patchdata/patchdata.h"
#include "system/modules.h"
#include "system/restart_swap.h"
#include "system/services.h"

// The product's services and their dependents read, nothing changed
// (nothing to undo).
std::unique_ptr<WorkItem> SurveyServicesItem(ServiceLedger* ledger);
// The product's services brought down (undone: each service it sent a
// stop started again once stopped).
std::unique_ptr<WorkItem> StopServicesItem(ServiceLedger* ledger);
// A look again that the services the run stopped are still stopped, and a
// stop of any that runs again (undone with the stop step, from the ledger).
std::unique_ptr<WorkItem> StopAgainItem(ServiceLedger* ledger);
// A wait for the services the stop left stopping to stop after all
// (undone with the stop step, from the ledger).
std::unique_ptr<WorkItem> AwaitStoppedItem(ServiceLedger* ledger);
// The product's services started (undone: what it started stopped again).
std::unique_ptr<WorkItem> StartServicesItem(ServiceLedger* ledger);

// One module: replaced by its new copy, or its original put back (undone:
// the module as the plan found it).
// A step that fails because another program holds the module open past
// the retries adds its path to `held`. One held open when the plan was read
// is read again, into `module`, which must outlive the item. `journal`, if
// any, is told before the step changes the installed module (one that
// leaves it as it is tells it nothing); a journal that cannot be written
// ends the step with 12, nothing changed.
std::unique_ptr<WorkItem> ModuleItem(ModulePlan* module, ModuleAction action, Journal* journal,
                                     std::vector<std::wstring>* held);
// A mix an earlier run left made whole the way `whole` says, while the
// product is stopped (MakeEarlierMixWhole): 0 once whole, 13 otherwise.
// Undone, it stays whole, for the put-back to start the product on it;
// modules it left neither whole nor as found stop the put-back there, so
// that nothing starts on them and the journal stays for the next run.
std::unique_ptr<WorkItem> EarlierMixItem(const std::vector<ModulePlan>* modules, WholeOn whole);
// Nothing to do; undone, the per-patch backup folder goes when empty.
std::unique_ptr<WorkItem> BackupFolderItem(const wchar_t* patchFolder);

// The run log attached to the product's record folder, once its install
// folder is known.
void AttachRunLogToProduct(const InstallInfo& install);
// The tool's version, the mode, the patch and the record's state, logged.
void LogRunStart(const wchar_t* mode);
void LogPatchState(const PatchDescription& description, const wchar_t* recordPath, ResultCode state);
void LogOutcome(ResultCode result);
