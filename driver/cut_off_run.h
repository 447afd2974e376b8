// A run cut off part-way (killed, or the power lost) is finished by the
// next run, whatever its mode, before that run does its own work.
#pragma once

#include "driver/journal.h"
#include "shared/result_codes.h"

// One mode's sequence, given the run that was cut off if this run finishes
// it on its way (null: none).
using ModeSequence = ResultCode (*)(const RunStart& start, const CutOffRun* cutOff);

// Under the lock: a journal left by a run that was cut off is finished
// first. One of this run's own mode, or an apply met by an undo, is
// finished by this run's sequence (the undo takes the apply back); an undo
// met by an apply is run to its end first, then the apply runs. 0 from either, or the code that ends the run; the journal
// stays while what it names is not finished.
ResultCode RunAfterCutOffRun(const RunStart& start, RunMode mode, ModeSequence apply, ModeSequence undo);

// Inside a sequence, once its patch is known (g_backupFolderName): 0 when
// this run can finish `cutOff` (none, or one of this patch), else 13.
ResultCode CheckCutOffPatch(const CutOffRun* cutOff);
// Copies staged for a swap at the restart that no rename waits for (a
// run cut off while it staged or scheduled them) are removed; the patch is
// known (g_backupFolderName).
void ForgetStagedSwap(const InstallInfo& install);
// The services the run that was cut off stopped, carried into this run's
// ledger after its survey, so that this run starts them again.
void CarryCutOffServices(const CutOffRun* cutOff, ServiceLedger* ledger);
// A run cut off where the product, as `plan` found it, was whole (before
// its first module, or after its last), or before it changed any module
// (the modules are as it found them, with its services running on them):
// it left only its services stopped.
struct RunPlan;
bool CutOffLeftOnlyServices(const CutOffRun& cutOff, const RunPlan& plan);

// The query's answer once a journal is read: never 19 while a run that
// was cut off leaves the product not whole. An undo cut off, or a run of
// another patch, gives 16: the install then runs and finishes it. An apply
// cut off records the patch last, so the record's own answer holds.
ResultCode AnswerOverCutOffRun(const InstallInfo& install, ResultCode state);
