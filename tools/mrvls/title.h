// A title's folder as the engine sees it: its definition file, its command
// libraries and its scenarios, with the program directory behind it. Only
// read, never written.
#pragma once
#include <map>
#include <string>
#include <vector>

namespace mrvls {

class Title {
 public:
  // `dir`: the title's folder (may be empty for a text without a file);
  // `programDir`: where the engine's own files are.
  Title(std::string dir, std::string programDir);

  const std::string& dir() const { return dir_; }
  // The definition file the engine would read: mrv.def of the title's folder,
  // else of the program directory; empty when neither exists.
  std::string definitions() const;
  // A file named as a scenario names it (any case, "\" or "/"), in the
  // title's folder, else the program directory; empty when none exists.
  std::string find(const std::string& name) const;
  // The scenario file that Gosub("name") runs: .SNB before .SNA, as the
  // engine searches; `source` prefers the .SNA (for going to it).
  std::string scenario(const std::string& name, bool source = false) const;
  // The command library LIB (the file lib.so, any case), or empty.
  std::string library(const std::string& name) const;
  // Every scenario name (upper case, without extension) and library name.
  std::vector<std::string> scenario_names() const;
  std::vector<std::string> library_names() const;

 private:
  std::vector<std::string> dirs() const;
  std::string dir_, programDir_;
};

// The commands a library file exports (MRV_ + name, the names in upper
// case, which scenarios can call), read once per file version.
const std::vector<std::string>& library_commands(const std::string& path);

std::string upper(std::string s);

}  // namespace mrvls
