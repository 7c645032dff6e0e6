// Records shown to a person. Tracer lines come as "TASK%02d %4d " + two
// spaces per block depth + the command, "@N path" or "@B text"; viewer lines
// as "@C" (a new listing), "name\ttype\tvalue" or a short command "@0".."@3".
#include "display.h"

#include <cctype>
#include <cstdint>
#include <cstdio>

#include "platform/text.h"

namespace mrvtrace {
namespace {

const char* const kReset = "\x1b[0m";
const char* const kDim = "\x1b[2m";
const char* const kBold = "\x1b[1m";
const char* const kCyan = "\x1b[36m";
const char* const kYellow = "\x1b[33m";
const char* const kGreen = "\x1b[32m";

std::string paint(const std::string& s, const char* code, Look look) {
  return look.colour ? code + s + kReset : s;
}

std::string pad(const std::string& utf8, std::size_t width) {
  const std::size_t w = columns(utf8);
  return w >= width ? utf8 + " " : utf8 + std::string(width - w, ' ');
}

bool digits(const std::string& s, std::size_t from, std::size_t to) {
  if (from >= to || to > s.size()) return false;
  for (std::size_t i = from; i < to; ++i)
    if (!std::isdigit(static_cast<unsigned char>(s[i])) && s[i] != ' ' && s[i] != '-') return false;
  return true;
}

// "TASK%02d %4d " + depth + command, split; false for any other line.
bool statement(const std::string& line, std::string* task, std::string* number, std::size_t* depth,
               std::string* command) {
  if (line.compare(0, 4, "TASK") != 0) return false;
  const std::size_t task_end = line.find(' ', 4);
  if (task_end == std::string::npos || !digits(line, 4, task_end)) return false;
  // The line number is right-aligned in four columns (wider when larger).
  std::size_t p = task_end + 1;
  while (p < line.size() && line[p] == ' ') ++p;
  const std::size_t number_end = line.find(' ', p);
  if (number_end == std::string::npos || !digits(line, p, number_end)) return false;
  *task = line.substr(4, task_end - 4);
  *number = line.substr(p, number_end - p);
  std::size_t q = number_end + 1;
  std::size_t spaces = 0;
  while (q + spaces < line.size() && line[q + spaces] == ' ') ++spaces;
  *depth = spaces / 2;
  *command = line.substr(q + *depth * 2);
  return true;
}

}  // namespace

std::string line_of(const std::string& record) {
  std::size_t p = 0;
  if (p < record.size() && record[p] == '-') ++p;
  const std::size_t start = p;
  while (p < record.size() && std::isdigit(static_cast<unsigned char>(record[p]))) ++p;
  if (p > start && p < record.size() && record[p] == ' ') return record.substr(p + 1);
  return record;
}

std::size_t columns(const std::string& utf8) {
  std::size_t w = 0;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    uint32_t cp = b;
    std::size_t len = 1;
    if (b >= 0xF0) {
      len = 4;
      cp = b & 0x07;
    } else if (b >= 0xE0) {
      len = 3;
      cp = b & 0x0F;
    } else if (b >= 0xC0) {
      len = 2;
      cp = b & 0x1F;
    }
    for (std::size_t k = 1; k < len && i + k < utf8.size(); ++k)
      cp = cp << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    i += len;
    const bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
                      (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
                      (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
                      (cp >= 0xFFE0 && cp <= 0xFFE6) || cp >= 0x20000;
    w += wide ? 2 : 1;
  }
  return w;
}

std::string show_tracer(const std::string& record, Look look) {
  const std::string line = plat::cp932_to_utf8(line_of(record));
  if (line.compare(0, 3, "@N ") == 0) return paint("[file]  " + line.substr(3), kCyan, look);
  if (line.compare(0, 3, "@B ") == 0) return paint("[debug] " + line.substr(3), kYellow, look);
  int stopped = 0, at_line = 0, at = 0;
  char reason[16];
  if (std::sscanf(line.c_str(), "@S %d %d %15s %n", &stopped, &at_line, reason, &at) == 3 && at > 0)
    return paint("[stop]  task " + std::to_string(stopped) + " at " + line.substr(std::size_t(at)) +
                     " line " + std::to_string(at_line) + " (" + reason + ")",
                 kYellow, look);
  std::string task, number, command;
  std::size_t depth = 0;
  if (statement(line, &task, &number, &depth, &command)) {
    std::string indent;
    for (std::size_t i = 0; i < depth; ++i) indent += look.colour ? "\xe2\x94\x82 " : "| ";
    return paint("task " + task + " " +
                     std::string(number.size() < 5 ? 5 - number.size() : 0, ' ') + number + " ",
                 kDim, look) +
           paint(indent, kDim, look) + paint(command, kBold, look);
  }
  return line;
}

std::string show_viewer(const std::string& record, Look look) {
  const std::string line = plat::cp932_to_utf8(line_of(record));
  if (line == "@C") return paint(pad("name", 8) + pad("type", 10) + "value", kGreen, look);
  if (line.size() == 2 && line[0] == '@' && std::isdigit(static_cast<unsigned char>(line[1])))
    return paint("[viewer " + line + "]", kYellow, look);
  // name, then the type framed by tabs, then the value.
  const std::size_t t1 = line.find('\t');
  const std::size_t t2 = t1 == std::string::npos ? t1 : line.find('\t', t1 + 1);
  if (t2 == std::string::npos) return line;
  return pad(line.substr(0, t1), 8) + pad(line.substr(t1 + 1, t2 - t1 - 1), 10) +
         line.substr(t2 + 1);
}

}  // namespace mrvtrace
