// xml_stack.exe: the stack the XML library and the element search use per
// level of element nesting, measured in the product's own build.
//
// For each depth it builds a document of that many nested elements, then on
// a fresh thread whose stack is committed in full and painted with a
// pattern: loads it as the product does (ParseXmlText), and when that keeps
// it (up to kMaxXmlDepth) searches it (FindElement), copies it, prints it as
// the record's save does, and frees everything; a deeper one the loader has
// parsed and emptied. The deepest painted byte that was overwritten tells
// the stack used. Prints one line per depth and the bytes per level between
// the first and the last depth.
//
// Then, on its own main thread (linked with the product's stack reserve),
// it times the same work on the deepest document the tool keeps
// (kMaxXmlDepth levels) and on the deepest it parses (kMaxXmlElements
// levels, then emptied).
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>

#include <tinyxml.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "patchdata/patchdata.h"
#include "patchdata/xml_file.h"

namespace {

constexpr SIZE_T kThreadStack = 64u << 20;  // far more than any depth measured needs
constexpr unsigned char kPaint = 0xA5;
constexpr SIZE_T kFrameRoom = 8192;  // left unpainted below the painting frame

int g_depth = 0;
SIZE_T g_used = 0;

std::string Nested(int depth) {
  std::string text = "<UpdateQL>";
  for (int i = 1; i < depth; ++i) text += "<a>";
  for (int i = 1; i < depth; ++i) text += "</a>";
  return text + "</UpdateQL>";
}

// False when the product's loader refuses the text.
bool __attribute__((noinline)) Work() {
  const std::string text = Nested(g_depth);
  TiXmlDocument* document = new TiXmlDocument;
  if (ParseXmlText(document, text) != XmlLoad::kLoaded) {
    delete document;
    return false;
  }
  FindElement(document, "missing");
  TiXmlDocument* copy = new TiXmlDocument(*document);
  std::FILE* sink = std::fopen("NUL", "w");
  if (sink != nullptr) {
    copy->SaveFile(sink);
    std::fclose(sink);
  }
  delete copy;
  delete document;
  return true;
}

using StackLimits = void(WINAPI*)(PULONG_PTR low, PULONG_PTR high);

DWORD WINAPI Measure(void*) {
  volatile unsigned char marker = 0;
  const uintptr_t top = reinterpret_cast<uintptr_t>(&marker);
  // The thread's whole stack reservation; painted from this frame down, in
  // order, so that pages not yet committed are committed one after another.
  const auto limits = reinterpret_cast<StackLimits>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetCurrentThreadStackLimits")));
  if (limits == nullptr) return 1;
  ULONG_PTR lowest = 0, highest = 0;
  limits(&lowest, &highest);
  const uintptr_t low = lowest + (1u << 20);  // the guard pages stay as they are
  const uintptr_t high = top - kFrameRoom;
  for (uintptr_t p = high; p > low; --p) *reinterpret_cast<volatile unsigned char*>(p - 1) = kPaint;
  Work();
  uintptr_t deepest = low;
  while (deepest < high && *reinterpret_cast<volatile unsigned char*>(deepest) == kPaint) ++deepest;
  g_used = top - deepest;
  return 0;
}

SIZE_T StackUsed(int depth) {
  g_depth = depth;
  g_used = 0;
  HANDLE thread = ::CreateThread(nullptr, kThreadStack, Measure, nullptr, 0, nullptr);
  if (thread == nullptr) return 0;
  ::WaitForSingleObject(thread, INFINITE);
  ::CloseHandle(thread);
  return g_used;
}

}  // namespace

int wmain() {
  const int depths[] = {10, 1000, kMaxXmlDepth, kMaxXmlElements / 2, kMaxXmlElements};
  SIZE_T first = 0, last = 0;
  for (int depth : depths) {
    const DWORD start = ::GetTickCount();
    const SIZE_T used = StackUsed(depth);
    std::printf("depth %6d: %9lu bytes of stack (%lu ms, painting included)%s\n", depth,
                static_cast<unsigned long>(used), static_cast<unsigned long>(::GetTickCount() - start),
                depth > kMaxXmlDepth ? ", parsed and emptied" : "");
    if (depth == depths[0]) first = used;
    last = used;
  }
  const int span = depths[sizeof depths / sizeof depths[0] - 1] - depths[0];
  std::printf("per level: %.1f bytes\n", static_cast<double>(last - first) / span);

  for (int depth : {kMaxXmlDepth, kMaxXmlElements}) {
    g_depth = depth;
    const DWORD start = ::GetTickCount();
    const bool kept = Work();
    std::printf("depth %6d on the main thread (%d-byte reserve): %s in %lu ms\n", depth,
                QLPATCH_MAIN_STACK_BYTES,
                kept ? "loaded, searched, copied, saved and freed" : "parsed, refused and freed",
                static_cast<unsigned long>(::GetTickCount() - start));
  }
  return 0;
}
