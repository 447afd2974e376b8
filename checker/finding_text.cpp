#include "checker/finding_text.h"

#include "platform/platform.h"

void Report(Findings* findings, const std::wstring& element, const std::wstring& text) {
  findings->push_back(element + L": " + text);
}

void Report(Findings* findings, const std::string& element, const std::wstring& text) {
  Report(findings, Widen(element), text);
}

std::wstring Widen(const std::string& text) {
  const int chars = os::WidenText(os::kAnsiCodePage, text.c_str(), nullptr, 0);
  if (chars <= 0) return L"?";
  std::wstring wide(static_cast<size_t>(chars), L'\0');
  if (os::WidenText(os::kAnsiCodePage, text.c_str(), &wide[0], chars) != chars) return L"?";
  wide.resize(static_cast<size_t>(chars - 1));
  return wide;
}

std::wstring Number(int64_t value) { return std::to_wstring(value); }

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

std::wstring Outcome(ResultCode code) {
  wchar_t message[kMessageChars] = {};
  FormatResultMessage(code, message);
  return Number(code) + L" (" + message + L")";
}

std::wstring NotFound(bool inFile) {
  if (!inFile) return L"missing";
  return L"out of the tool's reach (the file has one, but the search stops at a comment and "
         L"never looks inside an element whose content starts with text)";
}

const wchar_t kBeforeAnything[] = L"before touching anything";

std::wstring ModuleElement(int64_t index) { return L"WER" + Number(index); }

std::wstring ModulePhase(int64_t index) {
  const std::wstring done = index <= 1   ? L"after stopping the services"
                            : index == 2 ? L"after replacing WER1's module"
                                         : L"after replacing the modules of WER1 to " + ModuleElement(index - 1);
  return done + L"; the run then puts back what it replaced and starts the services again";
}

// The tool reads every module element, checks every name and looks for
// every new copy before it stops anything.
std::wstring ModuleListPhase() { return kBeforeAnything; }
