// The wording of the checker's finding lines.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "shared/result_codes.h"

using Findings = std::vector<std::wstring>;

// Adds "<element>: <text>".
void Report(Findings* findings, const std::wstring& element, const std::wstring& text);
void Report(Findings* findings, const std::string& element, const std::wstring& text);

// A value or name of the description file, widened with the ANSI code page
// as the tool widens them.
std::wstring Widen(const std::string& text);
std::wstring Number(int64_t value);
std::wstring Quoted(const std::wstring& text);
// "13 (move file error!)": a result code with the tool's message for it.
std::wstring Outcome(ResultCode code);
// Why the tool's search did not find an element, `inFile` telling whether
// the file holds one of that name at all.
std::wstring NotFound(bool inFile);

extern const wchar_t kBeforeAnything[];
// "WER<index>".
std::wstring ModuleElement(int64_t index);
// What an apply has done by the time it reads the index-th module element.
std::wstring ModulePhase(int64_t index);
// When the tool's check of the whole module list, made before the first
// module is replaced, stops it.
std::wstring ModuleListPhase();
