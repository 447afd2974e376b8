// The run log's lines: dated, UTF-8, CR LF, each written through as it is
// written.
#include "shared/run_log.h"

#include <cstdarg>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "shared/shared.h"

namespace {

constexpr int kLineChars = 1024;

struct RunLog {
  os::Handle file = nullptr;
  std::vector<std::string> held;  // lines logged before the log was opened
};
RunLog g_log;

void AppendUtf8(std::string* out, uint32_t c) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xC0 | (c >> 6));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += static_cast<char>(0xE0 | (c >> 12));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (c >> 18));
    *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// UTF-16 (or UTF-32, as wchar_t is on Linux) to UTF-8; a lone surrogate
// becomes U+FFFD.
std::string ToUtf8(const wchar_t* text) {
  std::string out;
  for (; *text != 0; ++text) {
    uint32_t c = static_cast<uint32_t>(*text);
    if (c >= 0xD800 && c <= 0xDBFF && text[1] >= 0xDC00 && text[1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(text[1]) - 0xDC00);
      ++text;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    AppendUtf8(&out, c);
  }
  return out;
}

void Write(const std::string& line) {
  if (g_log.file == nullptr) {
    g_log.held.push_back(line);
    return;
  }
  os::AppendBytes(g_log.file, line.data(), static_cast<uint32_t>(line.size()));
}

void LogLine(const wchar_t* text) {
  os::LocalTime now = {};
  os::LocalDateTime(&now);
  wchar_t stamp[32] = {};
  os::FormatWide(stamp, 32, L"%d-%02d-%02d %02d:%02d:%02d.%03d ", now.year, now.month, now.day, now.hour,
                 now.minute, now.second, now.milliseconds);
  Write(ToUtf8(stamp) + ToUtf8(text) + "\r\n");
}

}  // namespace

void BeginRunLog() {
  EndRunLog();
  g_log.held.clear();
}

void AttachRunLog(const wchar_t* backupRoot) {
  if (g_log.file != nullptr) return;
  wchar_t path[kPathChars] = {};
  wchar_t older[kPathChars] = {};
  if (!BuildPath(path, backupRoot, kRunLogName) || !BuildPath(older, backupRoot, kOlderRunLogName)) return;
  uint64_t size = 0;
  // The full log takes the older one's place in one step; one that cannot
  // be moved (another run writes it) leaves the older history as it is.
  if (os::FileSizeAt(path, &size) && size > kRunLogLimitBytes) os::ReplaceFileAtomically(path, older);
  g_log.file = os::OpenAppendWriteThrough(path);
  if (g_log.file == nullptr) return;
  std::vector<std::string> held;
  held.swap(g_log.held);
  for (const std::string& line : held) Write(line);
}

void EndRunLog() {
  if (g_log.file != nullptr) os::CloseKernelHandle(g_log.file);
  g_log.file = nullptr;
}

void LogEvent(const wchar_t* format, ...) {
  wchar_t text[kLineChars] = {};
  va_list args;
  va_start(args, format);
  std::vswprintf(text, kLineChars, format, args);
  va_end(args);
  text[kLineChars - 1] = 0;  // a line cut short need not be terminated
  LogLine(text);
}

void LogFailure(uint32_t error, const wchar_t* format, ...) {
  wchar_t text[kLineChars] = {};
  va_list args;
  va_start(args, format);
  std::vswprintf(text, kLineChars, format, args);
  va_end(args);
  text[kLineChars - 1] = 0;  // a line cut short need not be terminated
  wchar_t reason[512] = {};
  os::ErrorText(error, reason, 512);
  wchar_t line[kLineChars + 600] = {};
  os::FormatWide(line, kLineChars + 600, L"%ls: error %u (%ls)", text, error, reason);
  LogLine(line);
}

uint32_t MsSince(uint64_t startMs) {
  const uint64_t now = os::TickMs();
  return now >= startMs ? static_cast<uint32_t>(now - startMs) : 0;
}
