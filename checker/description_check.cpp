#include "checker/description_check.h"

#include <cstdio>
#include <cstring>

#include "checker/description_tree.h"
#include "checker/finding_text.h"
#include "checker/module_check.h"
#include "patchdata/patchdata.h"
#include "patchdata/xml_file.h"
#include "shared/shared.h"
#include "patchdata/module_names.h"

namespace {

void CountElementNames(TiXmlNode* node, std::map<std::string, int>* counts) {
  for (TiXmlNode* child = node->FirstChild(); child != nullptr; child = child->NextSibling()) {
    if (child->Type() != TiXmlNode::TINYXML_ELEMENT) continue;
    ++(*counts)[child->Value()];
    CountElementNames(child, counts);
  }
}

class DescriptionCheck {
 public:
  explicit DescriptionCheck(Findings* findings) : findings_(findings) {}

  DescriptionFacts Run() {
    if (!Load()) return facts_;
    CheckProductValues();
    CheckPatchVersion();
    int32_t count = 0;
    if (ReadCount(&count)) CheckModuleElements(&tree_, count, findings_, &facts_.modules);
    return facts_;
  }

 private:
  // False when no element can be read at all.
  bool Load() {
    const std::wstring file = Widen(kDataFileName);
    std::FILE* stream = std::fopen(kDataFileName, "rb");  // as the readers open it
    XmlLoad load = XmlLoad::kCannotOpen;
    if (stream != nullptr) {
      load = LoadXmlStream(&tree_.document, stream);
      // Opened but not readable (a folder of that name, where the C runtime lets one be opened).
      facts_.unreadable = std::ferror(stream) != 0;
      std::fclose(stream);
    } else {
      facts_.unreadable = os::PathExists(file.c_str());
    }
    if (stream == nullptr || facts_.unreadable) {
      Report(findings_, file, (facts_.unreadable ? L"cannot be read" : L"missing") +
                                  std::wstring(L"; the tool would stop with ") +
                                  Outcome(RC_XML_LOAD_FAILED) + L" " + kBeforeAnything);
      return false;
    }
    const std::wstring unread = L"; every element reads as missing and the tool would stop with " +
                                Outcome(RC_XML_ELEMENT_MISSING) + L" " + kBeforeAnything;
    if (load == XmlLoad::kBlank) {
      Report(findings_, file, L"blank (nothing but white space, zero bytes or a byte-order mark)" + unread);
      return false;
    }
    if (load == XmlLoad::kRefused) {
      Report(findings_, file, L"more than " + Number(kMaxXmlElements) + L" element starts, or elements nested " +
                                  L"more than " + Number(kMaxXmlDepth) +
                                  L" deep, so the tool never uses it" + unread);
      return false;
    }
    if (tree_.document.Error()) {
      Report(findings_, file, L"parse error at line " + Number(tree_.document.ErrorRow()) + L" (" +
                                  Widen(tree_.document.ErrorDesc()) +
                                  L"); the tool silently uses only the part before it");
    }
    tree_.root = tree_.document.FirstChild("UpdateQL");
    if (tree_.root == nullptr) {
      Report(findings_, L"UpdateQL", L"no root element of that name" + unread);
      return false;
    }
    CountElementNames(&tree_.document, &tree_.elementCounts);
    return true;
  }

  // Reads a value as the tool does; reports why it cannot, ending with `refusal`.
  bool ReadValue(const char* name, size_t bytes, const std::wstring& refusal, std::string* value) {
    char buffer[kValueBytes] = {};
    const ResultCode result = ReadDataValue(kDataFileName, name, buffer, bytes);
    if (result == RC_SUCCEED) {
      *value = buffer;
      return true;
    }
    TiXmlElement* element = FindElement(tree_.root, name);
    if (result != RC_XML_ELEMENT_MISSING) {
      Report(findings_, name, L"cannot be read; " + refusal);
    } else if (element == nullptr) {
      Report(findings_, name, NotFound(tree_.InFile(name)) + L"; " + refusal);
    } else {
      const char* text = ElementText(element);
      Report(findings_, name, Number(static_cast<int64_t>(text ? std::strlen(text) : 0)) +
                                  L" bytes long, more than the " +
                                  Number(static_cast<int64_t>(bytes - 1)) + L" the tool accepts; " +
                                  refusal);
    }
    return false;
  }

  // Version or BuildID, read through the version check's buffer. An empty
  // one matches no installed product: false then, as when it cannot be read.
  bool ReadComparedValue(const char* name, const std::wstring& what, ResultCode mismatch,
                         std::string* value, std::wstring* shown) {
    const std::wstring refusal =
        L"the tool would stop with " + Outcome(RC_XML_ELEMENT_MISSING) + L" " + kBeforeAnything;
    if (!ReadValue(name, kVersionValueBytes, refusal, value)) return false;
    *shown = Widen(*value);
    if (!value->empty()) return true;
    Report(findings_, name, L"empty; it matches no installed " + what + L" and the tool would stop with " +
                                Outcome(mismatch) + L" on every machine");
    return false;
  }

  void CheckProductValues() {
    std::string version, build;
    if (ReadComparedValue("Version", L"version", RC_VERSION_MISMATCH, &version, &facts_.version) &&
        !IsRecordableVersion(version.c_str())) {
      Report(findings_, "Version", Quoted(facts_.version) + L" makes the record element name " +
                                       Quoted(L"QL" + facts_.version) +
                                       L", which is no valid XML name; the tool refuses the patch with " +
                                       Outcome(RC_XML_ELEMENT_MISSING) + L" " + kBeforeAnything);
    }
    ReadComparedValue("BuildID", L"build", RC_BUILD_ID_MISMATCH, &build, &facts_.buildId);
  }

  void CheckPatchVersion() {
    const std::wstring refusal =
        L"the tool refuses the patch with " + Outcome(RC_XML_ELEMENT_MISSING) + L" " + kBeforeAnything;
    std::string patch;
    if (!ReadValue("PatchVersion", kValueBytes, refusal, &patch)) return;
    facts_.patchVersion = Widen(patch);
    if (patch.empty()) {
      Report(findings_, "PatchVersion", L"empty; " + refusal);
    } else if (!IsPatchNumber(patch.c_str())) {
      Report(findings_, "PatchVersion",
             Quoted(facts_.patchVersion) + L" is not a decimal number up to 2147483647, so the record element " +
                 Quoted(L"Patch" + facts_.patchVersion) +
                 L" and the backup folder of that name are unusable; " + refusal);
    }
  }

  // WerNum as the tool reads it; false when it cannot.
  bool ReadCount(int32_t* count) {
    const std::wstring phase = ModuleListPhase();
    std::string text;
    if (!ReadValue("WerNum", kValueBytes,
                   L"the tool would stop with " + Outcome(RC_XML_ELEMENT_MISSING) + L" " + phase, &text)) {
      return false;
    }
    facts_.moduleCount = Widen(text);
    if (ReadModuleCount(count) != RC_SUCCEED) {
      Report(findings_, "WerNum",
             (text.empty() ? L"empty" : Quoted(facts_.moduleCount) + L" is not a number") +
                 L"; the tool would stop with " + Outcome(RC_DECIMAL_CONVERSION_FAILED) + L" " + phase);
      return false;
    }
    if (!IsPatchNumber(text.c_str())) {
      Report(findings_, "WerNum", Quoted(facts_.moduleCount) +
                                      L" is not a plain decimal number; the tool reads it as " +
                                      Number(*count));
    }
    if (*count < 1) {
      Report(findings_, "WerNum", Number(*count) + L" lists no module; the tool would stop the product, replace "
                                                   L"nothing and record the patch as applied");
    }
    return true;
  }

  Findings* findings_;
  DescriptionTree tree_;
  DescriptionFacts facts_;
};

}  // namespace

DescriptionFacts CheckDescription(Findings* findings) { return DescriptionCheck(findings).Run(); }
