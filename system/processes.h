// The product's programs, ended by image name before its modules are replaced.
#pragma once

#include <cstdint>

// How long a program may take to end after it was ended.
constexpr uint32_t kProgramEndWaitMs = 10000;

// Ends every running process with this image name and waits (at most
// kProgramEndWaitMs each) for each to end. 1 when one was found.
int TerminateProcessByName(const wchar_t* imageName);

// Ends each of the product's programs, in order (every instance of each).
void EndProductPrograms();
