// Message boxes. Every box of the system goes through `message_box`.
//
// The flag word and the results are those of the Windows message box, since
// scenarios pass raw flags. Texts are code page 932; they are converted to
// UTF-8 where they reach a person (bytes that do not convert become U+FFFD).
//
// The terminal backend prints the box to standard error and, when standard
// input is a terminal and MRV_DIALOG_ANSWERS is not set, reads the answer
// there. Otherwise answers come from
// MRV_DIALOG_ANSWERS (comma-separated words consumed in order: ok, cancel,
// retry, yes, no, abort, ignore); when none is left the safe default is
// Cancel where the box has it, else No, else OK (Abort for abort/retry/ignore);
// a word that is not a button of the box is used up and the default taken.
// When MRV_DIALOG_LOG names a
// file, every box is appended to it as one JSON line (flushed before return).
#pragma once
#include <cstdint>

#include "platform/export.h"

namespace plat {

enum : uint32_t {
  MB_OK = 0x0,
  MB_OKCANCEL = 0x1,
  MB_ABORTRETRYIGNORE = 0x2,
  MB_YESNOCANCEL = 0x3,
  MB_YESNO = 0x4,
  MB_RETRYCANCEL = 0x5,
  MB_TYPEMASK = 0xF,
  MB_ICONERROR = 0x10,  // also MB_ICONHAND, MB_ICONSTOP
  MB_ICONQUESTION = 0x20,
  MB_ICONWARNING = 0x30,      // also MB_ICONEXCLAMATION
  MB_ICONINFORMATION = 0x40,  // also MB_ICONASTERISK
  MB_ICONMASK = 0xF0,
  MB_TASKMODAL = 0x2000,
};

enum : int32_t {
  IDOK = 1,
  IDCANCEL = 2,
  IDABORT = 3,
  IDRETRY = 4,
  IDIGNORE = 5,
  IDYES = 6,
  IDNO = 7,
};

// Shows a box and returns the chosen button's number. `owner` is a window
// handle or 0; it is recorded but does not change the answer.
PLAT_API int32_t message_box(uint32_t owner, const char* text, const char* caption, uint32_t flags);

// Told of every box before it shows, on the thread that asks for it (null:
// nobody). The debugger's side of the engine passes error boxes on to the
// tracer this way.
using BoxWatcher = void (*)(const char* text, const char* caption, uint32_t flags);
PLAT_API void set_box_watcher(BoxWatcher watcher);

// Re-reads MRV_DIALOG_ANSWERS and MRV_DIALOG_LOG (tests change them between
// cases; the process otherwise reads them once).
PLAT_API void dialog_reset();

}  // namespace plat
