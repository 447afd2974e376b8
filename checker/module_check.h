// The module elements of the description file, WER1 to WER<WerNum>, read
// as the tool's module loop reads them.
#pragma once

#include <cstdint>
#include <vector>

#include "checker/description_check.h"
#include "checker/description_tree.h"
#include "checker/finding_text.h"

// Checks the indexes 1 to `count` and the module elements beyond them.
void CheckModuleElements(DescriptionTree* tree, int32_t count, Findings* findings,
                         std::vector<ListedModule>* modules);
