#include "checker/module_check.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <utility>

#include "patchdata/patchdata.h"
#include "patchdata/xml_file.h"
#include "shared/shared.h"
#include "patchdata/module_names.h"

namespace {

constexpr const char kPrefix[] = "WER";
constexpr size_t kPrefixBytes = sizeof kPrefix - 1;

// Whether `node` lies inside `ancestor`.
bool IsInside(const TiXmlNode* node, const TiXmlNode* ancestor) {
  for (const TiXmlNode* up = node->Parent(); up != nullptr; up = up->Parent()) {
    if (up == ancestor) return true;
  }
  return false;
}

// The module element an UpdateModule lies in (else its parent element).
std::string OwnerName(const TiXmlNode* module) {
  for (const TiXmlNode* up = module->Parent(); up != nullptr; up = up->Parent()) {
    if (up->ToElement() != nullptr && std::strncmp(up->Value(), kPrefix, kPrefixBytes) == 0) {
      return up->Value();
    }
  }
  const TiXmlNode* parent = module->Parent();
  return parent != nullptr && parent->ToElement() != nullptr ? parent->Value() : "the file";
}

std::wstring TextBytes(const TiXmlElement* element) {
  const char* text = element != nullptr ? ElementText(element) : nullptr;
  return Number(static_cast<int64_t>(text != nullptr ? std::strlen(text) : 0)) + L" bytes long";
}

// The index of a module element name "WER<digits>": -1 for other names,
// 0 for digits with a leading zero (a name the tool never forms).
int64_t ModuleIndexOf(const std::string& name) {
  if (name.size() <= kPrefixBytes || name.compare(0, kPrefixBytes, kPrefix) != 0) return -1;
  int64_t index = 0;
  for (size_t i = kPrefixBytes; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return -1;
    index = std::min<int64_t>(index * 10 + (name[i] - '0'), INT64_C(1) << 40);
  }
  return name[kPrefixBytes] == '0' ? 0 : index;
}

// Whether a byte of `bytes` is beyond ASCII: read in each machine's own
// ANSI code page, it may stand for another character on another machine.
bool BeyondAscii(const char* bytes) {
  for (const char* c = bytes != nullptr ? bytes : ""; *c != 0; ++c) {
    if ((*c & 0x80) != 0) return true;
  }
  return false;
}

// The name `bytes` spell read as UTF-8, when the tool reads them otherwise
// (`asRead`, in the ANSI code page) and a file of that name is in this
// folder: the description was saved as UTF-8. Empty otherwise.
std::wstring NameReadAsUtf8(const char* bytes, const std::wstring& asRead) {
  wchar_t name[kNameChars] = {};
  if (!BeyondAscii(bytes) || os::WidenText(os::kUtf8CodePage, bytes, name, kNameChars) == 0 ||
      std::wcschr(name, L'\uFFFD') != nullptr || asRead == name || !IsSafeModuleName(name)) {
    return L"";
  }
  return os::FileExists(name) ? name : L"";
}

constexpr uint32_t kStandingAttributes = os::kAttributeReadOnly | os::kAttributeHidden | os::kAttributeSystem;

// "read-only", "hidden and system" ...
std::wstring AttributeWords(uint32_t attributes) {
  std::vector<std::wstring> words;
  if (attributes & os::kAttributeReadOnly) words.push_back(L"read-only");
  if (attributes & os::kAttributeHidden) words.push_back(L"hidden");
  if (attributes & os::kAttributeSystem) words.push_back(L"system");
  std::wstring text;
  for (size_t i = 0; i < words.size(); ++i) {
    if (i > 0) text += i + 1 == words.size() ? L" and " : L", ";
    text += words[i];
  }
  return text;
}

// Whether a step other than "." comes before the file's own: the module
// lies in a subfolder of the install folder. ".\x.dll" and "./x.dll" do not.
bool IsInSubfolder(const std::wstring& name) {
  size_t start = 0;
  for (size_t end; (end = name.find_first_of(L"\\/", start)) != std::wstring::npos; start = end + 1) {
    const std::wstring step = name.substr(start, end - start);
    if (!step.empty() && step != L".") return true;
  }
  return false;
}

class ModuleCheck {
 public:
  ModuleCheck(DescriptionTree* tree, int32_t count, Findings* findings, std::vector<ListedModule>* modules)
      : tree_(tree), count_(count), findings_(findings), modules_(modules) {
    for (const auto& entry : tree->elementCounts) {
      const int64_t index = ModuleIndexOf(entry.first);
      if (index >= 0) elements_.emplace_back(index, entry.first);
    }
    std::sort(elements_.begin(), elements_.end());
  }

  // Each module element from 1 to the count, and one line for each run of
  // missing ones.
  void CheckIndexes() {
    int64_t next = 1;
    for (const auto& element : elements_) {
      const int64_t index = element.first;
      if (index < 1 || index > count_) continue;
      if (index > next) ReportMissingRun(next, index - 1);
      CheckModule(static_cast<int32_t>(index));
      next = index + 1;
    }
    if (next <= count_) ReportMissingRun(next, count_);
  }

  // Module elements the loop over 1 to the count never reads, or reads once.
  void CheckOthers() {
    for (const auto& element : elements_) {
      const std::string& name = element.second;
      const int times = tree_->elementCounts.at(name);
      if (element.first == 0) {
        Report(findings_, name, L"never read: the tool names module elements WER1, WER2, ... without leading zeros");
      } else if (element.first > count_) {
        Report(findings_, name, L"beyond WerNum (" + Number(count_) +
                                    L"); the tool never reads it, so its module is never replaced: "
                                    L"WerNum is likely wrong");
      } else if (times > 1) {
        Report(findings_, name, L"appears " + Number(times) +
                                    L" times; the tool reads only the first its search meets");
      }
    }
  }

 private:
  void ReportMissingRun(int64_t first, int64_t last) {
    const std::wstring names =
        first == last ? ModuleElement(first) : ModuleElement(first) + L" to " + ModuleElement(last);
    const std::wstring tail = last == count_ ? L" (WerNum is " + Number(count_) + L")" : L"";
    Report(findings_, names, L"missing" + tail + L"; the tool would stop with " +
                                 Outcome(RC_XML_ELEMENT_MISSING) + L" at " + ModuleElement(first) +
                                 L", " + ModuleListPhase());
  }

  void CheckModule(int32_t index) {
    char elementName[kModuleElementNameBytes] = {};
    FormatModuleElementName(index, elementName, sizeof elementName);
    // Element and name problems are found by the check of the whole list
    // before the first module is touched; the others when the loop gets here.
    const std::wstring listPhase = L" here, " + ModuleListPhase();
    const std::wstring phase = L" here, " + ModulePhase(index);
    wchar_t moduleName[kNameChars] = {};
    const ResultCode result = ReadModuleName(index, moduleName);  // as the module loop reads it
    TiXmlElement* element = FindElement(tree_->root, elementName);
    if (element == nullptr) {
      Report(findings_, elementName, NotFound(tree_->InFile(elementName)) + L"; the tool would stop with " +
                                         Outcome(result) + listPhase);
      return;
    }
    TiXmlElement* module = FindElement(element, "UpdateModule");
    const bool own = module != nullptr && IsInside(module, element);
    const std::wstring owner = module != nullptr && !own ? Widen(OwnerName(module)) : L"";
    if (result != RC_SUCCEED) {
      const std::wstring what = own ? L"UpdateModule is "
                                    : L"UpdateModule missing; the tool would read " + owner + L"'s, which is ";
      Report(findings_, elementName, what + TextBytes(module) + L", more than the " +
                                         Number(kValueBytes - 1) + L" the tool accepts; it would stop with " +
                                         Outcome(result) + listPhase);
      return;
    }
    if (module == nullptr) {
      Report(findings_, elementName, L"UpdateModule missing, here and in every element after it; the tool "
                                     L"reads an empty module name and refuses it with " +
                                         Outcome(RC_MOVE_FILE_FAILED) + listPhase);
      return;
    }
    ListedModule listed;
    listed.index = index;
    listed.name = moduleName;
    // Named as the tool names it: by the install folder's files when the
    // product is on this machine, else by this folder's. A name the tool
    // refuses is never looked for: it may point outside this folder.
    if (ResolveModuleName(NamesFolder(), moduleName, &listed.resolved) ==
        ModuleNameProblem::kNone) {
      listed.newCopy = FingerprintFile(listed.resolved.c_str());
    } else {
      listed.resolved.clear();
    }
    if (own) {
      CheckName(elementName, listed, module->GetText(), listPhase, phase);
    } else {
      listed.borrowedFrom = OwnerName(module);
      Report(findings_, elementName, L"UpdateModule missing; the tool would read " + owner + L"'s " +
                                         Quoted(listed.name) + L" instead, so " + ModuleElement(index) +
                                         L"'s own module is never replaced");
    }
    modules_->push_back(listed);
  }

  // `bytes`: the name as the description holds it.
  void CheckName(const char* elementName, const ListedModule& module, const char* bytes,
                 const std::wstring& listPhase, const std::wstring& phase) {
    const std::wstring& name = module.name;
    const std::wstring refused = L"; the tool refuses it with " + Outcome(RC_MOVE_FILE_FAILED) + listPhase;
    std::wstring resolved;
    switch (ResolveModuleName(NamesFolder(), name.c_str(), &resolved)) {
      case ModuleNameProblem::kNone:
        break;
      case ModuleNameProblem::kStream:
        Report(findings_, elementName, L"module name " + Quoted(name) +
                                           L" names a data stream of a file (a ':' in it), never a module" + refused);
        return;
      case ModuleNameProblem::kToolFile:
        Report(findings_, elementName, L"module name " + Quoted(name) +
                                           L" is a name the tool keeps files of its own under (CurVersion.qlprev, "
                                           L"*.qlnew, *.qlundo, *.qlswap)" + refused);
        return;
      case ModuleNameProblem::kEmpty:
        Report(findings_, elementName, L"UpdateModule empty; the tool refuses an empty module name with " +
                                           Outcome(RC_MOVE_FILE_FAILED) + listPhase);
        return;
      case ModuleNameProblem::kLeavesFolder:
        Report(findings_, elementName, L"module name " + Quoted(name) +
                                           L" leaves the install folder (a drive, a root or a \"..\" step)" +
                                           refused);
        return;
      case ModuleNameProblem::kDeviceName:
        Report(findings_, elementName, L"module name " + Quoted(name) +
                                           L" names a Windows device (CON, PRN, AUX, NUL, COM1 to COM9 or LPT1 "
                                           L"to LPT9, in any case and with any extension), never a file" +
                                           refused);
        return;
      case ModuleNameProblem::kBackupFolder:
        Report(findings_, elementName, L"module name " + Quoted(name) + L" lies in the backup folder \"" +
                                           std::wstring(kBackupRootName) + L"\", where the originals are kept" +
                                           refused);
        return;
    }
    if (!module.newCopy.readable) {
      const std::wstring asUtf8 = NameReadAsUtf8(bytes, name);
      const std::wstring saved = asUtf8.empty() ? L"" : L"; the file here is " + Quoted(asUtf8) +
                                 L": the description was saved as UTF-8, and the tool reads its bytes in "
                                 L"the machine's ANSI code page";
      Report(findings_, elementName, L"new copy " + Quoted(name) +
                                         L" missing from this folder; the tool would stop with " +
                                         Outcome(RC_COPY_FILE_FAILED) + listPhase + saved);
    } else if ((module.newCopy.attributes & kStandingAttributes) != 0) {
      Report(findings_, elementName, L"new copy " + Quoted(name) + L" is " +
                                         AttributeWords(module.newCopy.attributes) +
                                         L"; the copy gives the installed module the same attributes, which "
                                         L"stand in the way of the next patch and of an undo: clear them");
    }
    if (module.newCopy.readable && BeyondAscii(bytes)) {
      Report(findings_, elementName, L"module name " + Quoted(name) +
                                         L" holds characters outside ASCII, which each machine reads in its own "
                                         L"ANSI code page: on one set to another code page than this one, the "
                                         L"tool looks for another file and stops before touching anything");
    }
    if (IsInSubfolder(name)) {
      Report(findings_, elementName, L"module " + Quoted(name) +
                                         L" is in a subfolder; the tool makes the backup folder but not the "
                                         L"subfolder inside it, so moving the installed module aside fails "
                                         L"with " + Outcome(RC_MOVE_FILE_FAILED) + L" on every machine" + phase);
    }
    for (const ListedModule& earlier : *modules_) {
      if (!earlier.resolved.empty() && os::SameFileName(earlier.resolved.c_str(), resolved.c_str())) {
        Report(findings_, elementName, Quoted(name) + L" is the file " + ModuleElement(earlier.index) +
                                           L" lists already (" + Quoted(earlier.name) +
                                           L"); another module was likely meant, and the tool refuses the "
                                           L"list with " + Outcome(RC_MOVE_FILE_FAILED) + listPhase);
        break;
      }
    }
  }

  const wchar_t* NamesFolder() const { return install_.folderRead ? install_.folder : L"."; }

  DescriptionTree* tree_;
  const InstallInfo install_ = ReadInstallInfo();
  int32_t count_;
  Findings* findings_;
  std::vector<ListedModule>* modules_;
  std::vector<std::pair<int64_t, std::string>> elements_;  // module element names by index
};

}  // namespace

void CheckModuleElements(DescriptionTree* tree, int32_t count, Findings* findings,
                         std::vector<ListedModule>* modules) {
  ModuleCheck check(tree, count, findings, modules);
  check.CheckIndexes();
  check.CheckOthers();
}
