#include "title.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>

#include "elfsyms.h"
#include "platform/file.h"

namespace fs = std::filesystem;

namespace mrvls {

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

Title::Title(std::string dir, std::string programDir)
    : dir_(std::move(dir)), programDir_(std::move(programDir)) {}

std::vector<std::string> Title::dirs() const {
  std::vector<std::string> out;
  if (!dir_.empty()) out.push_back(dir_);
  if (!programDir_.empty() && programDir_ != dir_) out.push_back(programDir_);
  return out;
}

std::string Title::find(const std::string& name) const {
  if (name.empty() || name.find('\0') != std::string::npos) return {};
  std::string rel = name;
  std::replace(rel.begin(), rel.end(), '\\', '/');
  for (const std::string& d : dirs()) {
    const std::string path = rel[0] == '/' ? rel : d + "/" + rel;
    const std::string resolved = plat::resolve_path(path.c_str());
    std::error_code ec;
    if (fs::is_regular_file(resolved, ec)) return resolved;
    if (rel[0] == '/') break;
  }
  return {};
}

std::string Title::definitions() const {
  return find("mrv.def");
}

std::string Title::scenario(const std::string& name, bool source) const {
  if (source) {
    const std::string sna = find(name + ".SNA");
    if (!sna.empty()) return sna;
  }
  for (const char* ext : {".SNB", ".SNA"}) {
    const std::string f = find(name + ext);
    if (!f.empty()) return f;
  }
  // A name that already carries its extension.
  return find(name);
}

std::string Title::library(const std::string& name) const {
  return find(name + ".so");
}

namespace {

std::vector<std::string> names_with(const std::vector<std::string>& dirs,
                                    const std::set<std::string>& exts) {
  std::set<std::string> names;
  for (const std::string& d : dirs) {
    std::error_code ec;
    fs::directory_iterator it(d, ec), end;
    for (int n = 0; !ec && it != end && n < 10000; it.increment(ec), ++n) {
      const fs::path p = it->path();
      if (exts.count(upper(p.extension().string())) == 0) continue;
      names.insert(upper(p.stem().string()));
    }
  }
  return {names.begin(), names.end()};
}

}  // namespace

std::vector<std::string> Title::scenario_names() const {
  return names_with(dirs(), {".SNA", ".SNB"});
}

std::vector<std::string> Title::library_names() const {
  std::vector<std::string> out;
  for (const std::string& n : names_with(dirs(), {".SO"})) {
    if (n != "STANDARD") out.push_back(n);
  }
  return out;
}

const std::vector<std::string>& library_commands(const std::string& path) {
  struct Entry {
    fs::file_time_type time;
    uintmax_t size;
    std::vector<std::string> commands;
  };
  static std::map<std::string, Entry> cache;
  std::error_code ec;
  const auto time = fs::last_write_time(path, ec);
  const uintmax_t size = ec ? 0 : fs::file_size(path, ec);
  Entry& e = cache[path];
  if (e.commands.empty() || e.time != time || e.size != size) {
    e.time = time;
    e.size = size;
    e.commands.clear();
    for (const std::string& f : exported_functions(path)) {
      if (f.size() <= 4 || f.compare(0, 4, "MRV_") != 0) continue;
      const std::string cmd = f.substr(4);
      // A scenario's call is upper-cased, so only upper-case exports are reached.
      if (upper(cmd) == cmd) e.commands.push_back(cmd);
    }
    std::sort(e.commands.begin(), e.commands.end());
  }
  return e.commands;
}

}  // namespace mrvls
