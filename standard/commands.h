// The commands of the standard library as data: export name, the name its
// argument check reports under, the argument signature, and one line each on
// arguments and result. The commands check their arguments against this
// table, and the command reference (docs/commands.md) is checked against it.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "mrvval.h"

namespace standard {

enum class Cmd : int {
  // Control flow
  For,
  If,
  While,
  Loop,
  Switch,
  Case,
  Break,
  Gosub,
  Goto,
  Return,
  Exit,
  // Tasks and timing
  StartTask,
  EndTask,
  TaskSuper,
  IsTask,
  GetTask,
  Wait,
  WaitStart,
  WaitEnd,
  Clock,
  SystemTime,
  SystemInfo,
  // Numbers, variables, rectangles, bits
  Abs,
  Int,
  Decimal,
  Random,
  Calc,
  Swap,
  ValueType,
  SearchValue,
  SetRect,
  SetRectXpos,
  SetRectYpos,
  SetRectXsize,
  SetRectYsize,
  GetRectXpos,
  GetRectYpos,
  GetRectXsize,
  GetRectYsize,
  InRect,
  Pixel,
  SetBit,
  GetBit,
  SetColumn,
  GetColumn,
  SetColumnHex,
  GetColumnHex,
  // Input, memory, debugging, system
  Key,
  Shift,
  ClearKey,
  ScanKey,
  Alloc,
  Free,
  DebugMessage,
  DebugBreak,
  DebugValue,
  DebugBeep,
  DebugWait,
  MessageBox,
  GetIniFile,
  SetIniFile,
  Version,
  DebugVersion,
  Count
};

// A 0-ended signature for MRVVAL_CheckArgument.
using Signature = std::array<uint16_t, 6>;

struct Command {
  Cmd id;
  std::string_view name;  // the command's name in the reference
  std::string_view call;  // as a scenario calls it (any case); empty: not callable
  std::string_view exportName;
  std::string_view checkName;  // empty: the command checks nothing
  Signature signature;
  std::string_view arguments;
  std::string_view result;
};

inline constexpr uint16_t N = TYPE_NUMBER, S = TYPE_STRING, R = TYPE_RECT, V = TYPE_VARIABLE,
                          ANY = TYPE_ANY, REST = SIG_REST;
inline constexpr uint16_t REF_ANY = SIG_BYREF + TYPE_ANY, REF_R = SIG_BYREF + TYPE_RECT,
                          REF_M = SIG_BYREF + TYPE_MEMORY;

// clang-format off
inline constexpr Command kCommands[] = {
    // Control flow
    {Cmd::For, "For", "For", "MRV_FOR", "For", {V, N, N, N},
     "loop variable, start, end, step", "NULL"},
    {Cmd::If, "If", "If", "MRV_IF", "If", {N},
     "condition", "NULL"},
    {Cmd::While, "While", "While", "MRV_WHILE", "While", {N},
     "condition (evaluated again before each pass)", "NULL"},
    {Cmd::Loop, "Loop", "Loop", "MRV_LOOP", "Loop", {N},
     "count (integer; negative: no end)", "NULL"},
    {Cmd::Switch, "Switch", "Switch", "MRV_SWITCH", "Switch", {ANY},
     "switch value", "NULL"},
    {Cmd::Case, "Case", "Case", "MRV_CASE", "Case", {ANY},
     "case value", "NULL"},
    {Cmd::Break, "Break", "Break", "MRV_BREAK", "Break", {N},
     "one number, not used", "NULL"},
    {Cmd::Gosub, "Gosub", "Gosub", "MRV_GOSUB", "Gosub", {S, REST},
     "scenario name, then up to 25 values for the subroutine", "the subroutine's Return value"},
    {Cmd::Goto, "Goto", "", "MRV_Goto", "", {},
     "none", "unchanged"},
    {Cmd::Return, "Return", "Return", "MRV_RETURN", "Return", {ANY},
     "return value", "NULL"},
    {Cmd::Exit, "Exit", "Exit", "MRV_EXIT", "Exit", {N},
     "exit value", "NULL"},
    // Tasks and timing
    {Cmd::StartTask, "StartTask", "TaskStart", "MRV_TASKSTART", "StartTask", {N, S, REST},
     "task number (negative: any free slot), scenario name, then up to 24 values",
     "the number of the started task"},
    {Cmd::EndTask, "EndTask", "TaskEnd", "MRV_TASKEND", "EndTask", {N},
     "task number", "NULL"},
    {Cmd::TaskSuper, "TaskSuper", "TaskSuper", "MRV_TASKSUPER", "IsTask", {N},
     "0 = release, other = run alone", "NULL"},
    {Cmd::IsTask, "IsTask", "IsTask", "MRV_ISTASK", "IsTask", {N},
     "task number", "TRUE if that task exists"},
    {Cmd::GetTask, "GetTask", "GetTask", "MRV_GETTASK", "GetTask", {N},
     "one number, not used", "the calling task's number"},
    {Cmd::Wait, "Wait", "Wait", "MRV_WAIT", "Wait", {N},
     "milliseconds (at most 10000)", "NULL"},
    {Cmd::WaitStart, "WaitStart", "WaitStart", "MRV_WAITSTART", "WaitStart", {N},
     "milliseconds", "NULL"},
    {Cmd::WaitEnd, "WaitEnd", "WaitEnd", "MRV_WAITEND", "WaitEnd", {N},
     "0 = wait for the deadline, other = only test it", "TRUE when the wait is over"},
    {Cmd::Clock, "Clock", "Clock", "MRV_CLOCK", "Clock", {N},
     "one number, not used", "local date and time, yyyymmdd.000hhmmss"},
    {Cmd::SystemTime, "SystemTime", "SystemTime", "MRV_SYSTEMTIME", "SystemTime", {N},
     "0 = tick count, 1 = since start", "milliseconds"},
    {Cmd::SystemInfo, "SystemInfo", "SystemInfo", "MRV_SYSTEMINFO", "", {},
     "none", "unchanged"},
    // Numbers, variables, rectangles, bits
    {Cmd::Abs, "Abs", "Abs", "MRV_ABS", "Abs", {N},
     "x", "x without its sign"},
    {Cmd::Int, "Int", "Int", "MRV_INT", "Int", {N},
     "x", "x without its fraction"},
    {Cmd::Decimal, "Decimal", "Decimal", "MRV_DECIMAL", "Decimal", {N},
     "x", "the fraction of x, signed"},
    {Cmd::Random, "Random", "Random", "MRV_RANDOM", "Random", {N, N},
     "low, high", "a random number above low, at most high"},
    {Cmd::Calc, "Calc", "Calc", "MRV_CALC", "Calc", {S},
     "expression text", "the expression's value"},
    {Cmd::Swap, "Swap", "Swap", "MRV_SWAP", "Swap", {REF_ANY, REF_ANY},
     "two variables", "NULL"},
    {Cmd::ValueType, "ValueType", "ValueType", "MRV_VALUETYPE", "ValueType", {V},
     "a variable", "its value's type tag"},
    {Cmd::SearchValue, "SearchValue", "SearchValue", "MRV_SEARCHVALUE", "SearchValue",
     {ANY, V, N, N},
     "value, first array variable, count, stride", "index of the first equal element, or -1"},
    {Cmd::SetRect, "SetRect", "SetRect", "MRV_SETRECT", "SetRect", {N, N, N, N},
     "x, y, width, height", "the rectangle"},
    {Cmd::SetRectXpos, "SetRectXpos", "SetRectXpos", "MRV_SETRECTXPOS", "SetRectXpos", {REF_R, N},
     "rectangle variable, new x", "NULL"},
    {Cmd::SetRectYpos, "SetRectYpos", "SetRectYpos", "MRV_SETRECTYPOS", "SetRectYpos", {REF_R, N},
     "rectangle variable, new y", "NULL"},
    {Cmd::SetRectXsize, "SetRectXsize", "SetRectXsize", "MRV_SETRECTXSIZE", "SetRectXsize",
     {REF_R, N},
     "rectangle variable, new width", "NULL"},
    {Cmd::SetRectYsize, "SetRectYsize", "SetRectYsize", "MRV_SETRECTYSIZE", "SetRectYsize",
     {REF_R, N},
     "rectangle variable, new height", "NULL"},
    {Cmd::GetRectXpos, "GetRectXpos", "GetRectXpos", "MRV_GETRECTXPOS", "GetRectXpos", {R},
     "rectangle", "its x"},
    {Cmd::GetRectYpos, "GetRectYpos", "GetRectYpos", "MRV_GETRECTYPOS", "GetRectYpos", {R},
     "rectangle", "its y"},
    {Cmd::GetRectXsize, "GetRectXsize", "GetRectXsize", "MRV_GETRECTXSIZE", "GetRectXsize", {R},
     "rectangle", "its width"},
    {Cmd::GetRectYsize, "GetRectYsize", "GetRectYsize", "MRV_GETRECTYSIZE", "GetRectYsize", {R},
     "rectangle", "its height"},
    {Cmd::InRect, "InRect", "InRect", "MRV_INRECT", "InRect", {R, R},
     "two rectangles or points", "TRUE or FALSE"},
    {Cmd::Pixel, "Pixel", "Pixel", "MRV_PIXEL", "Pixel", {N, N, N},
     "red, green, blue (0-31 each)", "a 15-bit colour number"},
    {Cmd::SetBit, "SetBit", "SetBit", "MRV_SETBIT", "SetBit", {N, N, N},
     "number, bit 0-55, value", "the number with that bit written"},
    {Cmd::GetBit, "GetBit", "GetBit", "MRV_GETBIT", "GetBit", {N, N},
     "number, bit", "1 or 0"},
    {Cmd::SetColumn, "SetColumn", "SetColumn", "MRV_SETCOLUMN", "SetColumn", {N, N, N},
     "number, column 0-17, digit", "the number with that decimal digit replaced"},
    {Cmd::GetColumn, "GetColumn", "GetColumn", "MRV_GETCOLUMN", "GetColumn", {N, N},
     "number, column", "that decimal digit"},
    {Cmd::SetColumnHex, "SetColumnHex", "SetColumnHex", "MRV_SETCOLUMNHEX", "SetColumnHex",
     {N, N, N},
     "number, column 0-13, digit", "the number with that hexadecimal digit replaced"},
    {Cmd::GetColumnHex, "GetColumnHex", "GetColumnHex", "MRV_GETCOLUMNHEX", "GetColumnHex", {N, N},
     "number, column", "that hexadecimal digit"},
    // Input, memory, debugging, system
    {Cmd::Key, "Key", "Key", "MRV_KEY", "Key", {N},
     "0 = last key, 1 = key held now", "key code"},
    {Cmd::Shift, "Shift", "Shift", "MRV_SHIFT", "Shift", {N},
     "0 = data of the last key, 1 = of the key held now", "key data word"},
    {Cmd::ClearKey, "ClearKey", "ClearKey", "MRV_CLEARKEY", "ClearKey", {N},
     "0 = all, 1 = the kept words, 2 = the current words", "unchanged"},
    {Cmd::ScanKey, "ScanKey", "ScanKey", "MRV_SCANKEY", "ScanKey", {N},
     "virtual-key code", "TRUE while that key is down"},
    {Cmd::Alloc, "Alloc", "Alloc", "MRV_ALLOC", "Alloc", {REF_ANY, N},
     "variable, size in bytes", "a copy of the memory value"},
    {Cmd::Free, "Free", "Free", "MRV_FREE", "Free", {REF_M},
     "variable holding a memory value", "NULL"},
    {Cmd::DebugMessage, "DebugMessage", "DebugMessage", "MRV_DEBUGMESSAGE", "DebugMessage", {REST},
     "any number of values", "NULL"},
    {Cmd::DebugBreak, "DebugBreak", "DebugBreak", "MRV_DEBUGBREAK", "DebugBreak", {N},
     "one number, not used", "NULL"},
    {Cmd::DebugValue, "DebugValue", "DebugValue", "MRV_DEBUGVALUE", "DebugValue", {N},
     "viewer command 0-3", "NULL"},
    {Cmd::DebugBeep, "DebugBeep", "DebugBeep", "MRV_DEBUGBEEP", "DebugBeep", {N},
     "sound 0-4", "NULL"},
    {Cmd::DebugWait, "DebugWait", "DebugWait", "MRV_DEBUGWAIT", "DebugWait", {N},
     "0 = skip waits, 1 = normal, 2 = with timing trace", "NULL"},
    {Cmd::MessageBox, "MessageBox", "MessageBox", "MRV_MESSAGEBOX", "MessageBox", {S, S, N},
     "caption, text, style", "number of the button pressed"},
    {Cmd::GetIniFile, "GetIniFile", "GetIniFile", "MRV_GETINIFILE", "GetIniFile", {S, S, S, S},
     "file, section, key, default", "the value string"},
    {Cmd::SetIniFile, "SetIniFile", "SetIniFile", "MRV_SETINIFILE", "SetIniFile", {S, S, S, S},
     "file, section, key, value", "NULL"},
    {Cmd::Version, "Version", "", "MRV_Version", "", {},
     "none", "3.319980601"},
    {Cmd::DebugVersion, "DebugVersion", "", "MRV_DebugVersion", "", {},
     "none", "unchanged"},
};
// clang-format on

static_assert(std::size(kCommands) == static_cast<std::size_t>(Cmd::Count));
constexpr char upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// A scenario's call reaches "MRV_" + the name as the compiler upper-cases it,
// so exactly the exports without lower-case letters can be called, and under
// their own names.
static_assert(
    [] {
      for (const Command& c : kCommands) {
        const std::string_view suffix = c.exportName.substr(4);
        bool callable = true;
        for (char ch : suffix) callable = callable && upper(ch) == ch;
        if (c.call.size() != (callable ? suffix.size() : 0)) return false;
        for (std::size_t i = 0; i < c.call.size(); ++i) {
          if (upper(c.call[i]) != suffix[i]) return false;
        }
      }
      return true;
    }(),
    "call names are the export names");
static_assert(
    [] {
      for (std::size_t i = 0; i < std::size(kCommands); ++i) {
        if (static_cast<std::size_t>(kCommands[i].id) != i) return false;
      }
      return true;
    }(),
    "kCommands is in the order of Cmd");

inline constexpr const Command& command(Cmd id) {
  return kCommands[static_cast<std::size_t>(id)];
}

// A signature as the reference writes it: N, S, R, V by their letters, "any"
// for any value, a backslash before a by-reference code (as the scenario
// passes the variable), "..." for free further arguments; "-" for none.
inline std::string signature_text(const Signature& sig) {
  std::string out;
  for (uint16_t code : sig) {
    if (code == 0) break;
    if (!out.empty()) out += ' ';
    if (code == REST) {
      out += "...";
      continue;
    }
    if (code & SIG_BYREF) out += '\\';
    const uint16_t tag = code & 0xFF;
    if (tag == TYPE_ANY)
      out += "any";
    else
      out += static_cast<char>(tag);
  }
  return out.empty() ? "-" : out;
}

}  // namespace standard
