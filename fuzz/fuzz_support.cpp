#include "fuzz/fuzz_support.h"

#include <stdlib.h>
#include <tinyxml.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

#include "patchdata/patchdata_internal.h"
#include "platform/fake_platform.h"
#include "shared/shared.h"

namespace {

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

FuzzMachine MakeMachine() {
  char pattern[] = "/tmp/qlpatch-fuzz-XXXXXX";
  if (mkdtemp(pattern) == nullptr) Broken("cannot make the sandbox");
  FuzzMachine m;
  m.root = pattern;
  m.work = m.root + "/work";
  m.install = m.root + "/Qorlink";
  m.backupRoot = m.install + "/UpdateBackup";
  m.record = m.backupRoot + "/QlPatch.xml";
  MakeFolder(m.work);
  MakeFolder(m.backupRoot);
  std::filesystem::current_path(m.work);
  // Kept apart from the machine, which is gone by the time exit handlers run.
  static char removeAtExit[sizeof pattern];
  std::memcpy(removeAtExit, pattern, sizeof pattern);
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::current_path("/", ignored);
    std::filesystem::remove_all(removeAtExit, ignored);
  });
  return m;
}

}  // namespace

const FuzzMachine& Machine() {
  static const FuzzMachine machine = MakeMachine();
  return machine;
}

void ResetPlatform() {
  fake::Reset();
  fake::SetMachineValue(kInstallKey, L"Version", L"4.20");
  fake::SetMachineValue(kInstallKey, L"BuildID", L"0137");
  fake::SetMachineValue(kInstallKey, L"Path", Wide(Machine().install));
  fake::SetLocalDate(2020, 3, 15);
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) Broken("cannot write", path);
}

std::string ReadBytes(const std::string& path, bool* exists) {
  std::ifstream in(path, std::ios::binary);
  if (exists) *exists = static_cast<bool>(in);
  if (!in) return "";
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void RemoveTree(const std::string& path) {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

void MakeFolder(const std::string& path) { std::filesystem::create_directories(path); }

void Broken(const char* what, const std::string& detail) {
  std::fprintf(stderr, "invariant broken: %s %s\n", what, detail.c_str());
  std::abort();
}

std::string LibraryText(const std::string& bytes) { return XmlTextOfBytes(bytes); }

int LibraryDepth(const std::string& text) {
  TiXmlDocument document;
  ParseXmlText(&document, text);  // padded, as the tool gives it to the library
  int deepest = 0;
  std::vector<std::pair<const TiXmlNode*, int>> pending = {{&document, 0}};
  while (!pending.empty()) {
    auto [node, depth] = pending.back();
    pending.pop_back();
    if (depth > deepest) deepest = depth;
    for (const TiXmlNode* child = node->FirstChild(); child; child = child->NextSibling()) {
      pending.push_back({child, child->Type() == TiXmlNode::TINYXML_ELEMENT ? depth + 1 : depth});
    }
  }
  return deepest;
}
