#include "reference.h"

#include <cctype>

namespace mrvls {

namespace {

bool same_ci(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

}  // namespace

const standard::Command* find_command(std::string_view name) {
  for (const standard::Command& c : standard::kCommands) {
    if (!c.call.empty() && same_ci(c.call, name)) return &c;
  }
  return nullptr;
}

std::string command_doc(const standard::Command& c) {
  const std::string_view doc = kCommandReference;
  const std::string heading = "\n### " + std::string(c.name) + "\n";
  const std::size_t at = doc.find(heading);
  if (at == std::string_view::npos) return {};
  const std::size_t begin = at + heading.size();
  std::size_t end = doc.find("\n#", begin);
  if (end == std::string_view::npos) end = doc.size();
  std::string_view body = doc.substr(begin, end - begin);
  while (!body.empty() && (body.front() == '\n')) body.remove_prefix(1);
  while (!body.empty() && (body.back() == '\n')) body.remove_suffix(1);
  return std::string(body);
}

std::string command_synopsis(const standard::Command& c) {
  std::string s = std::string(c.call.empty() ? c.name : c.call) + "(";
  const std::string sig = standard::signature_text(c.signature);
  s += c.checkName.empty() ? "..." : sig == "-" ? "" : sig;
  s += ") -> " + std::string(c.result);
  return s;
}

std::string system_variable_role(long n) {
  struct Range {
    long first, last;
    const char* role;
  };
  // The windows' variables are per window number w (0 to 9).
  static const Range kRoles[] = {
      {0, 0, "the number 1171: the tag that heads every tracer and viewer record"},
      {1, 1, "a number, set up by the host"},
      {2, 2,
       "keyboard: word 1 the virtual-key code of the last key pressed (kept after release), "
       "word 2 the key held now (0 after release)"},
      {3, 3, "keyboard: the key data of the last key message, in the same two words as #2"},
      {4, 4, "the return register: Return and Exit store their value here, Gosub takes it"},
      {7, 7,
       "the running task's number, with its line as the fraction (written before every "
       "statement)"},
      {10, 10, "string: the Windows directory"},
      {11, 11, "string: the program directory"},
      {12, 12, "picture cell: the glyph sheet for @G[n] in text output (16 x 16 glyphs)"},
      {13, 13, "if a string: the question asked when the user closes the main window"},
      {14, 14, "picture cell: the drawing target of text output to window 9"},
      {17, 17, "a handle, set up by the host"},
      {18, 18, "string: empty at start"},
      {19, 19, "a rectangle, set up by the host"},
      {20, 29,
       "window #(20+w): word 1 the window handle (0: no window), word 2 its drawing surface"},
      {30, 39, "text cursor of window w = n-30: column, row, character cell width and height"},
      {40, 49,
       "text colours of window w = n-40: text colour, background colour, pause after each "
       "character (ms), style word"},
      {50, 59, "string: the font name of window w = n-50"},
      {70, 79, "window w = n-70: two values passed to the drawing library on every resize"},
      {100, 109, "window w = n-100: words 3 and 4 the horizontal and vertical scale in percent"},
      {110, 119,
       "left mouse button of window w = n-110: word 1 held/double-clicked bits, word 2 the same "
       "latched, words 3 and 4 x and y of the last press"},
      {120, 129, "right mouse button of window w = n-120, laid out as the left one (#110+w)"},
      {180, 199, "the switch register of task n-180: the value of its innermost running Switch"},
  };
  for (const Range& r : kRoles) {
    if (n >= r.first && n <= r.last) return r.role;
  }
  if (n >= 0 && n <= 199) return "system variable (no fixed role)";
  return {};
}

}  // namespace mrvls
