// Times a whole apply run on the stand-in machine (virtual clock, real files)
// with a given number of modules, and reports wall time and peak memory; a
// run the tool ends with another code is reported as that code, never as a
// time.
//   native_apply MODULES [MODULE_BYTES]
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "driver/driver.h"
#include "shared/result_codes.h"
#include "platform/fake_platform.h"
#include "shared/shared.h"

namespace fs = std::filesystem;

static void Write(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

static std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

int main(int argc, char** argv) {
  int modules = argc > 1 ? std::atoi(argv[1]) : 100;
  size_t moduleBytes = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 4096;

  char pattern[] = "/tmp/qlpatch-bench-XXXXXX";
  if (!mkdtemp(pattern)) return 1;
  fs::path root = pattern, work = root / "work", install = root / "Qorlink";
  fs::create_directories(work);
  fs::create_directories(install);

  std::string description = "<UpdateQL>\n    <Version>4.20</Version>\n    <BuildID>0137</BuildID>\n"
                            "    <PatchVersion>03</PatchVersion>\n    <WerNum>" +
                            std::to_string(modules) + "</WerNum>\n";
  std::string oldBytes(moduleBytes, 'o'), newBytes(moduleBytes, 'n');
  for (int i = 1; i <= modules; ++i) {
    std::string name = "module" + std::to_string(i) + ".dll";
    description += "    <WER" + std::to_string(i) + "><UpdateModule>" + name + "</UpdateModule></WER" +
                   std::to_string(i) + ">\n";
    Write(install / name, oldBytes);
    Write(work / name, newBytes);
  }
  description += "</UpdateQL>\n";
  Write(work / "patchql58302.dat", description);

  fake::Reset();
  fake::SetMachineValue(kInstallKey, L"Version", L"4.20");
  fake::SetMachineValue(kInstallKey, L"BuildID", L"0137");
  fake::SetMachineValue(kInstallKey, L"Path", Wide(install.string()));
  fake::AddService(L"QlSvc");
  fake::AddService(L"QlProfileSvc");
  fs::current_path(work);

  wchar_t name[] = L"qlpatch.exe";
  wchar_t* args[] = {name, nullptr};
  auto start = std::chrono::steady_clock::now();
  ResultCode result = RunEntry(1, args);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  struct rusage usage {};
  getrusage(RUSAGE_SELF, &usage);
  if (result == RC_SUCCEED) {
    std::printf("modules=%d applied seconds=%.3f peak_rss_mib=%.1f virtual_wait_s=%.0f\n", modules, seconds,
                usage.ru_maxrss / 1024.0, fake::NowMs() / 1000.0);
  } else {
    wchar_t message[kMessageChars] = {};
    FormatResultMessage(result, message);
    std::printf("modules=%d REFUSED with exit code %d (%ls): no time to report\n", modules, static_cast<int>(result),
                message);
  }

  fs::current_path("/");
  fs::remove_all(root);
  return result == RC_SUCCEED ? 0 : 1;
}
