// What both fuzz targets share: a sandboxed machine (a working folder that
// is the current directory and an install folder, with the platform
// stand-in set up for the installed product), file helpers and the way a
// broken invariant is reported (a crash, which libFuzzer keeps as an
// artifact).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct FuzzMachine {
  std::string root;
  std::string work;     // current directory: the description file
  std::string install;  // the "Path" install value
  std::string backupRoot;
  std::string record;
};

// Makes the sandbox once per process and removes it at exit.
const FuzzMachine& Machine();
// Resets the platform stand-in to a matching installed product.
void ResetPlatform();

void WriteBytes(const std::string& path, const std::string& bytes);
// The file's bytes; `exists` tells an empty file from a missing one.
std::string ReadBytes(const std::string& path, bool* exists = nullptr);
void RemoveTree(const std::string& path);
void MakeFolder(const std::string& path);

// Ends the run with a message: libFuzzer reports it and keeps the input.
[[noreturn]] void Broken(const char* what, const std::string& detail = "");

// The text the XML library parses for these file bytes: line ends made LF
// and cut at the first zero byte, as its file loading does.
std::string LibraryText(const std::string& bytes);
// The element nesting of the tree the library builds from `text`.
int LibraryDepth(const std::string& text);
