// The steps the apply and the undo are made of, as work items.
#pragma once

#include <memory>
#include <string>

#include "driver/work_items.h"
#include "system/system.h"

// The product's services brought down (undone: started again).
std::unique_ptr<WorkItem> StopProductItem();
// The product's services started (undone: stopped again).
std::unique_ptr<WorkItem> StartProductItem();
// One module: Do makes `forward`, Undo makes `backward`. `forwardAllOrNothing`:
// a `forward` that fails leaves the installed file as it found it (it puts
// a whole copy in place in one step), so its Undo has nothing to put back;
// a file held open for good is then not tried again in vain.
std::unique_ptr<WorkItem> ModuleItem(const wchar_t* description, const std::wstring& installFolder,
                                     const std::wstring& moduleName, ModuleStep forward, ModuleStep backward,
                                     bool forwardAllOrNothing);
// Nothing to do; undone, the per-patch backup folder goes when empty.
std::unique_ptr<WorkItem> BackupFolderItem();

// The run log attached to the product's record folder, once its install
// folder can be read.
void AttachRunLogToProduct();
// The tool's version, the mode, the patch and the record's state, logged.
void LogRunStart(const wchar_t* mode);
void LogPatchState(const wchar_t* recordPath, ResultCode state);
void LogOutcome(ResultCode result);
