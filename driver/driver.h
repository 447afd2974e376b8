// Program driver: the two modes and their option scanner.
#pragma once

#include <vector>

#include "driver/run_items.h"
#include "driver/work_items.h"
#include "patchdata/patchdata.h"
#include "system/modules.h"
#include "system/restart_swap.h"
#include "shared/result_codes.h"
#include "system/services.h"

// Option scanner state, kept between calls of ScanOption.
extern int32_t g_optionIndex;
extern const char* g_optionArgument;

constexpr int kMaxArgumentSlots = 32;

// Query mode (`-c patch`): answers the patch state; prints nothing.
ResultCode RunCommandLine(int argc, wchar_t** argv);
// Returns the next option letter, '?' for an argument it cannot accept, or
// -1 when the scan is over.
int ScanOption(int argc, char** arguments, const char* options);

// Apply mode: reads the install values, runs PerformUpdate and prints its
// outcome.
ResultCode RunInteractiveUpdate();
// The apply under the lock, after finishing a run that was cut off.
ResultCode PerformUpdate(const RunStart& start);

// Each mode's sequence, given the run that was cut off if this run
// finishes it on its way (null: none).
struct CutOffRun;
ResultCode ApplySequence(const RunStart& start, const CutOffRun* cutOff);
ResultCode UndoSequence(const RunStart& start, const CutOffRun* cutOff);
// Writes the journal of a run about to make its first change. 0, or 12
// when it cannot be written (nothing is changed then).
class Journal;
enum class RunMode;
struct RunPlan;
ResultCode BeginJournal(const InstallInfo& install, RunMode mode, const wchar_t* patch, const RunPlan& plan,
                        Journal* journal);
// Written in `journal` before the run's first change to an installed
// module: 0, or 12 when it cannot be (no module may be changed then).
ResultCode NoteModulesChanging(Journal* journal);
// A failure once something is changed: what the run changed is put back,
// newest first, and the run ends with `failure`. Put back in full, a run
// that found the product whole has ended whole and its journal goes; one
// that was finishing `cutOff` is back at what that run left, and its
// journal stays for the next run.
class WorkItemList;
ResultCode PutBackAfter(WorkItemList* work, Journal* journal, const CutOffRun* cutOff, ResultCode failure,
                        bool* putBack = nullptr);

// A run that could not bring the product down over a mix an earlier run
// left (cut off, or failed half way): once the services still stopping
// have stopped after all and the product's programs are ended, the mix is
// made whole the way `whole` says (MakeEarlierMixWhole), so that the
// put-back starts the product whole, the earlier run's stopped services
// with the others, instead of on the mix. False, with nothing more
// changed, when the product does not come down or the mix cannot be made
// whole.
bool TakeEarlierRunBack(WorkItemList* work, Journal* journal, RunPlan* plan, WholeOn whole);
// A failure once the services are sent a stop: over a mix an earlier run
// left, the mix is made whole first (TakeEarlierRunBack, which stops again
// what this run started), so that the put-back never starts the product
// on it; then PutBackAfter.
ResultCode PutBackWhole(WorkItemList* work, Journal* journal, RunPlan* plan, const CutOffRun* cutOff, WholeOn whole,
                        ResultCode failure);
// The module steps of a plan, each done as a work item, in order, up to the
// first that fails. 0 or its code; a module held open past the retries is
// added to `held`. A module held open when the plan was read is read again
// by its step, into `modules`. `journal` is told before the first step that
// changes an installed module, not before one that leaves it as it is.
ResultCode ReplaceModules(std::vector<ModulePlan>* modules, ModuleAction action, WorkItemList* work,
                          Journal* journal, std::vector<std::wstring>* held);

// `-c undo`: puts the originals of the current patch back and takes it off
// the record. Prints nothing.
ResultCode PerformUndo(const RunStart& start);
// The undo under the single-instance lock, with its run log.
ResultCode RunUndo();

// Runs a sequence that changes the machine while holding the machine-wide
// single-instance lock, with g_workerDone made for its service phases.
// 1618 when another run holds the lock.
using Sequence = ResultCode (*)(const RunStart& start);
ResultCode RunExclusively(const RunStart& start, Sequence sequence);
// RunExclusively for the product the patch is for, its log attached also
// when it could not start. On another product (its install values
// unreadable, another Version or BuildID) the run ends with the check's
// code before it takes the lock: nothing is written, not even the backup
// folder or the run log.
ResultCode RunForThisProduct(const RunStart& start, Sequence sequence);
// Runs one service phase on a worker thread, given the run's ledger, and
// waits for it; `cannotRun` when no worker can be started (after a second
// try with kTryAgain: a put-back must not give up at the first refusal).
enum class WorkerStart { kOnce, kTryAgain };
ResultCode RunServicePhase(int32_t (*worker)(void* ledger), ServiceLedger* ledger, ResultCode cannotRun,
                           WorkerStart start = WorkerStart::kOnce);

// The process entry's body: picks the mode from the argument count.
ResultCode RunEntry(int argc, wchar_t** argv);
