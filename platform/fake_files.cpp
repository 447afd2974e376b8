// Stand-in files: real files under the test's sandbox ('\\' read as '/'),
// with Windows' rules where POSIX differs and the power-cut model.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cwctype>
#include <dirent.h>
#include <locale.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/fake_machine.h"

using namespace fake_internal;

namespace {

std::string Key(const std::string& path) { return PathKey(path); }

bool FailWith(uint32_t error) {
  t_lastError = error;
  return false;
}

// Another program has the file open: this operation meets a sharing
// violation (and uses up one of the hold's tries).
// `reading`: the operation only reads the file, which a holder that shares
// reading lets it do.
bool HeldOpen(const std::string& path, bool reading = false) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  if (reading && M().readableHolds.count(Key(path))) return false;
  auto found = M().holds.find(Key(path));
  if (found == M().holds.end() || found->second == 0) return false;
  if (found->second > 0) --found->second;
  ++M().sharingViolations[Key(path)];
  return true;
}

uint32_t AttributesOf(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  auto found = M().attributes.find(Key(path));
  return found == M().attributes.end() ? 0 : found->second;
}

bool ReadOnly(const std::string& path) { return (AttributesOf(path) & os::kAttributeReadOnly) != 0; }

bool SameFile(const std::string& a, const std::string& b) {
  struct stat first, second;
  return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

void SetAttributesLocked(const std::string& key, uint32_t attributes) {
  if (attributes == 0) {
    M().attributes.erase(key);
  } else {
    M().attributes[key] = attributes;
  }
}

// Attributes belong to the file, not the name: every other name a hard
// link gave it that still names it changes with it.
void SetAttributes(const std::string& path, uint32_t attributes) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  const std::string key = Key(path);
  SetAttributesLocked(key, attributes);
  for (const auto& [first, second] : M().hardLinks) {
    const std::string* other = first == key ? &second : second == key ? &first : nullptr;
    if (other != nullptr && SameFile(key, *other)) SetAttributesLocked(*other, attributes);
  }
}

// A rename carries the attributes, and the file's other names, with it;
// what it replaces is gone.
void MoveAttributes(const std::string& from, const std::string& to) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  const std::string source = Key(from), target = Key(to);
  for (auto& [first, second] : M().hardLinks) {
    if (first == source) first = target;
    if (second == source) second = target;
  }
  auto found = M().attributes.find(source);
  M().attributes.erase(target);
  if (found == M().attributes.end()) return;
  const uint32_t attributes = found->second;
  M().attributes.erase(found);
  M().attributes[target] = attributes;
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

}  // namespace

namespace os {

// ---- files ----
bool MakeDirectory(const wchar_t* path) {
  if (Call("MakeDirectory")) return false;
  if (mkdir(ToUtf8(path).c_str(), 0777) != 0) return Fail(errno == ENOENT ? ENOTDIR : errno);
  std::lock_guard<std::mutex> lock(g_machineMutex);
  MarkToolFolder(ToUtf8(path));
  return true;
}

bool RemoveFolder(const wchar_t* path) {
  if (Call("RemoveFolder")) return false;
  if (rmdir(ToUtf8(path).c_str()) != 0) return Fail(errno);
  return true;
}

bool MoveFileTo(const wchar_t* from, const wchar_t* to) {
  if (Call("MoveFileTo")) return false;
  const std::string source = ToUtf8(from), target = ToUtf8(to);
  // A read-only file may be renamed; one held open may not.
  if (HeldOpen(source)) return FailWith(kErrorSharingViolation);
  // MoveFileW never replaces an existing target.
  if (renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) != 0)
    return Fail(errno);
  MoveUnflushed(source, target);
  MoveAttributes(source, target);
  return true;
}

bool LinkFile(const wchar_t* existing, const wchar_t* link) {
  if (Call("LinkFile")) return false;
  const std::string source = ToUtf8(existing), target = ToUtf8(link);
  if (HeldOpen(source)) return FailWith(kErrorSharingViolation);
  if (::link(source.c_str(), target.c_str()) != 0) return Fail(errno);
  SetAttributes(target, AttributesOf(source));  // one file, one set of attributes
  std::lock_guard<std::mutex> lock(g_machineMutex);
  M().hardLinks.emplace_back(Key(source), Key(target));
  return true;
}

bool CopyFileOver(const wchar_t* from, const wchar_t* to) {
  if (Call("CopyFileOver")) return false;
  std::string source = ToUtf8(from), target = ToUtf8(to);
  if (IsDirectory(source) || IsDirectory(target)) return Fail(EACCES);
  if (HeldOpen(source, true) || HeldOpen(target)) return FailWith(kErrorSharingViolation);
  // CopyFileW does not overwrite a read-only or hidden file.
  if (Exists(target) && (AttributesOf(target) & (kAttributeReadOnly | kAttributeHidden)) != 0) {
    return FailWith(kErrorAccessDenied);
  }
  int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return Fail(errno);
  int out = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (out < 0) {
    int error = errno;
    close(in);
    return Fail(error);
  }
  char buffer[1 << 16];
  bool ok = true;
  bool full = false;
  for (;;) {
    ssize_t n = read(in, buffer, sizeof buffer);
    if (n == 0) break;
    if (n > 0) {
      // The disk's room: what fits is written, and the copy stops there,
      // cut short, as a full disk leaves it.
      std::lock_guard<std::mutex> lock(g_machineMutex);
      if (M().diskRoom != fake::kNever && static_cast<uint64_t>(n) > M().diskRoom) {
        n = static_cast<ssize_t>(M().diskRoom);
        full = true;
      }
      if (M().diskRoom != fake::kNever) M().diskRoom -= static_cast<uint64_t>(n);
    }
    if (n < 0 || write(out, buffer, static_cast<size_t>(n)) != n || full) {
      ok = false;
      break;
    }
  }
  int error = errno;
  // CopyFileW keeps the source's last-write time.
  struct stat st;
  if (fstat(in, &st) == 0) {
    const timespec times[2] = {st.st_atim, st.st_mtim};
    futimens(out, times);
  }
  close(in);
  if (close(out) != 0) ok = false;
  MarkUnflushed(target);
  // The copy takes the source's attributes.
  SetAttributes(target, AttributesOf(source));
  if (full) return FailWith(kErrorDiskFull);
  return ok ? true : Fail(error);
}

bool FileExists(const wchar_t* path) {
  struct stat st;
  return stat(ToUtf8(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool PathExists(const wchar_t* path) {
  struct stat st;
  return stat(ToUtf8(path).c_str(), &st) == 0;
}

bool DeleteFileAt(const wchar_t* path) {
  if (Call("DeleteFileAt")) return false;
  const std::string target = ToUtf8(path);
  if (HeldOpen(target)) return FailWith(kErrorSharingViolation);
  if (Exists(target) && ReadOnly(target)) return FailWith(kErrorAccessDenied);
  if (unlink(target.c_str()) != 0) return Fail(errno);
  MarkFlushed(target);
  SetAttributes(target, 0);
  return true;
}

bool SetWorkingFolder(const wchar_t* path) {
  if (Call("SetWorkingFolder")) return false;
  if (chdir(ToUtf8(path).c_str()) != 0) return Fail(errno);
  return true;
}

std::FILE* OpenFile(const wchar_t* path, const wchar_t* mode) {
  if (Call("OpenFile")) return nullptr;
  std::string narrowMode = ToUtf8(mode);
  std::string target = ToUtf8(path);
  if (IsDirectory(target)) {
    Fail(EACCES);
    return nullptr;
  }
  const bool writing = narrowMode.find_first_of("wa+") != std::string::npos;
  if (HeldOpen(target, !writing)) {
    FailWith(kErrorSharingViolation);
    return nullptr;
  }
  // "w" creates always, with normal attributes, which Windows refuses over
  // a hidden or system file as over a read-only one.
  const uint32_t refused = kAttributeReadOnly | (narrowMode.find('w') != std::string::npos
                                                     ? kAttributeHidden | kAttributeSystem : 0);
  if (writing && Exists(target) && (AttributesOf(target) & refused) != 0) {
    FailWith(kErrorAccessDenied);
    return nullptr;
  }
  bool locked = false;
  {
    std::lock_guard<std::mutex> lock(g_machineMutex);
    locked = !writing && M().lockedBytes.count(Key(target)) != 0;
  }
  // Its folder, opened as a file, opens and then fails every read, as the
  // locked bytes do.
  std::FILE* file = std::fopen(locked ? std::filesystem::path(target).parent_path().c_str() : target.c_str(),
                               narrowMode.c_str());
  if (locked) t_lastError = kErrorLockViolation;
  if (!file) {
    Fail(errno);
  } else if (narrowMode.find_first_of("wa+") != std::string::npos) {
    MarkUnflushed(target);
    std::lock_guard<std::mutex> lock(g_machineMutex);
    M().openedForWriting[file] = target;
  }
  return file;
}

bool FlushToDisk(std::FILE* file) {
  if (Call("FlushToDisk")) return false;
  // Durability is the power-cut model's (PowerCut): the disk itself is not
  // waited for.
  if (std::fflush(file) != 0) return false;
  std::string path;
  {
    std::lock_guard<std::mutex> lock(g_machineMutex);
    auto found = M().openedForWriting.find(file);
    if (found != M().openedForWriting.end()) path = found->second;
  }
  MarkFlushed(path);
  return true;
}

bool FlushFileAt(const wchar_t* path) {
  if (Call("FlushFileAt")) return false;
  const std::string target = ToUtf8(path);
  // Opened for writing: refused for a read-only file or one held open.
  if (HeldOpen(target)) return FailWith(kErrorSharingViolation);
  if (Exists(target) && ReadOnly(target)) return FailWith(kErrorAccessDenied);
  int fd = open(target.c_str(), O_WRONLY | O_CLOEXEC);  // as the real one opens it for writing
  if (fd < 0) return Fail(errno);
  close(fd);
  MarkFlushed(target);
  return true;
}

bool ReplaceFileAtomically(const wchar_t* source, const wchar_t* target) {
  if (Call("ReplaceFileAtomically")) return false;
  const std::string from = ToUtf8(source), to = ToUtf8(target);
  if (HeldOpen(from)) return FailWith(kErrorSharingViolation);
  // A target held open without sharing deletion: MoveFileExW answers
  // ERROR_ACCESS_DENIED.
  if (HeldOpen(to)) return FailWith(kErrorAccessDenied);
  // MoveFileExW does not replace a read-only file.
  if (Exists(to) && ReadOnly(to)) return FailWith(kErrorAccessDenied);
  if (rename(from.c_str(), to.c_str()) != 0) return Fail(errno);
  MoveUnflushed(from, to);
  MoveAttributes(from, to);
  return true;
}

bool ReadFileAttributes(const wchar_t* path, uint32_t* attributes) {
  if (Call("ReadFileAttributes")) return false;
  const std::string target = ToUtf8(path);
  struct stat st;
  if (stat(target.c_str(), &st) != 0) return Fail(errno);
  *attributes = AttributesOf(target);
  return true;
}

// Those that keep a file from being written, replaced or deleted.
constexpr uint32_t kBlockingAttributes = kAttributeReadOnly | kAttributeHidden | kAttributeSystem;

bool ClearFileAttributes(const wchar_t* path) {
  if (Call("ClearFileAttributes")) return false;
  const std::string target = ToUtf8(path);
  if (!Exists(target)) return Fail(ENOENT);
  SetAttributes(target, AttributesOf(target) & ~kBlockingAttributes);
  return true;
}

bool RestoreFileAttributes(const wchar_t* path, uint32_t attributes) {
  if (Call("RestoreFileAttributes")) return false;
  const std::string target = ToUtf8(path);
  if (!Exists(target)) return Fail(ENOENT);
  SetAttributes(target, (AttributesOf(target) & ~kBlockingAttributes) | (attributes & kBlockingAttributes));
  return true;
}

bool ListFolder(const wchar_t* path, void (*visit)(void* context, const wchar_t* name, bool isFolder),
                void* context) {
  if (Call("ListFolder")) return false;
  const std::string folder = ToUtf8(path);
  DIR* listing = opendir(folder.c_str());
  if (listing == nullptr) return Fail(errno);
  std::vector<std::pair<std::wstring, bool>> entries;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    entries.emplace_back(FromUtf8(name), IsDirectory(folder + "/" + name));
  }
  closedir(listing);
  // In NTFS's order, by the names' upper case, whatever order the disk
  // underneath keeps them in.
  const auto upper = [](std::wstring name) {
    for (wchar_t& c : name) c = static_cast<wchar_t>(std::towupper(c));
    return name;
  };
  std::sort(entries.begin(), entries.end(),
            [&](const auto& a, const auto& b) { return upper(a.first) < upper(b.first); });
  for (const auto& [name, isFolder] : entries) visit(context, name.c_str(), isFolder);
  return true;
}

bool FreeBytesAt(const wchar_t* folder, uint64_t* bytes) {
  if (Call("FreeBytesAt")) return false;
  if (!IsDirectory(ToUtf8(folder))) return Fail(ENOENT);
  std::lock_guard<std::mutex> lock(g_machineMutex);
  const uint64_t shown = M().diskRoomShown != fake::kNever ? M().diskRoomShown : M().diskRoom;
  *bytes = shown != fake::kNever ? shown : (1ull << 40);
  return true;
}

// Letters of any script in either case, as NTFS's upper-case table has
// them; ASCII alone where the C.UTF-8 locale is not there.
bool SameFileName(const wchar_t* a, const wchar_t* b) {
  static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  const auto upper = [](wchar_t c) {
    return unicode != static_cast<locale_t>(0) ? towupper_l(c, unicode) : std::towupper(c);
  };
  for (;; ++a, ++b) {
    if (upper(*a) != upper(*b)) return false;
    if (*a == 0) return true;
  }
}

// Each step is found in its folder as NTFS finds it, in any case, or by
// its 8.3 alias, and given as the folder spells it (the stand-in's files
// are case-sensitive, so the spelling found is the one that opens).
bool LongPathOf(const wchar_t* path, wchar_t* out, int outChars) {
  if (Call("LongPathOf")) return false;
  const std::string wanted = ToUtf8(path);
  std::string found = wanted[0] == '/' ? "" : ".";
  for (size_t start = wanted[0] == '/' ? 1 : 0; start <= wanted.size();) {
    size_t end = wanted.find('/', start);
    if (end == std::string::npos) end = wanted.size();
    const std::string step = wanted.substr(start, end - start);
    start = end + 1;
    if (step.empty() || step == ".") continue;
    std::string match;
    DIR* listing = opendir((found.empty() ? "/" : found).c_str());
    if (listing == nullptr) return Fail(ENOENT);
    while (const dirent* entry = readdir(listing)) {
      const std::string name = entry->d_name;
      if (name == step || (match.empty() && SameFileName(FromUtf8(name).c_str(), FromUtf8(step).c_str()))) match = name;
    }
    closedir(listing);
    if (match.empty()) {
      std::string upper = step;
      for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      std::lock_guard<std::mutex> lock(g_machineMutex);
      auto alias = M().shortNames.find(found + "/" + upper);
      if (alias == M().shortNames.end()) return Fail(ENOENT);
      match = alias->second;
    }
    found += "/" + match;
  }
  if (found.rfind("./", 0) == 0) found = found.substr(2);
  const std::wstring wide = FromUtf8(found);
  if (wide.size() + 1 > static_cast<size_t>(outChars)) return Fail(ENAMETOOLONG);
  for (size_t i = 0; i <= wide.size(); ++i) out[i] = wide[i] == L'/' ? L'\\' : wide[i];
  return true;
}

bool IsReparsePoint(const wchar_t* path) {
  struct stat link;
  // As on Windows, only a name that is not there is no link; what cannot
  // be looked at is not trusted.
  if (lstat(ToUtf8(path).c_str(), &link) != 0) return errno != ENOENT && errno != ENOTDIR;
  return S_ISLNK(link.st_mode);
}

Handle OpenAppendWriteThrough(const wchar_t* path) {
  if (Call("OpenAppendWriteThrough")) return nullptr;
  const std::string target = ToUtf8(path);
  struct stat link;
  if (lstat(target.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    FailWith(kErrorReparsePointEncountered);
    return nullptr;
  }
  if (HeldOpen(target)) {
    FailWith(kErrorSharingViolation);
    return nullptr;
  }
  if (Exists(target) && ReadOnly(target)) {
    FailWith(kErrorAccessDenied);
    return nullptr;
  }
  if (IsDirectory(target)) {
    Fail(EACCES);
    return nullptr;
  }
  int fd = open(target.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    Fail(errno);
    return nullptr;
  }
  auto* file = new FakeAppendFile;
  file->fd = fd;
  std::lock_guard<std::mutex> lock(g_machineMutex);
  M().kernelHandles.insert(file);
  return file;
}

bool AppendBytes(Handle file, const void* bytes, uint32_t count) {
  int fd = -1;
  {
    std::lock_guard<std::mutex> lock(g_machineMutex);
    auto* object = static_cast<KernelObject*>(file);
    if (M().kernelHandles.count(object)) fd = static_cast<FakeAppendFile*>(object)->fd;
    M().appendingFd = fd;
    M().appendingBytes = count;
  }
  const bool failed = Call("AppendBytes");
  {
    std::lock_guard<std::mutex> lock(g_machineMutex);
    M().appendingFd = -1;
  }
  if (failed) return false;
  if (fd < 0) return Fail(EBADF);
  // Written through: nothing of it is pending for the power-cut model.
  return write(fd, bytes, count) == static_cast<ssize_t>(count) ? true : Fail(errno);
}

bool FileSizeAt(const wchar_t* path, uint64_t* bytes) {
  if (Call("FileSizeAt")) return false;
  struct stat st;
  if (stat(ToUtf8(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return Fail(ENOENT);
  *bytes = static_cast<uint64_t>(st.st_size);
  return true;
}

}  // namespace os

namespace fake {

void SetFileAttributesOf(const std::string& path, uint32_t attributes) { SetAttributes(path, attributes); }

void HoldFile(const std::string& path, int tries) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  M().holds[Key(path)] = tries;
  M().readableHolds.erase(Key(path));
}

int SharingViolations(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  auto found = M().sharingViolations.find(Key(path));
  return found == M().sharingViolations.end() ? 0 : found->second;
}

void LockBytes(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  M().lockedBytes.insert(Key(path));
}

void HoldFileLettingRead(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_machineMutex);
  M().holds[Key(path)] = -1;
  M().readableHolds.insert(Key(path));
}

}  // namespace fake

namespace fake_internal {

FakeAppendFile::~FakeAppendFile() {
  if (fd >= 0) close(fd);
}

}  // namespace fake_internal
