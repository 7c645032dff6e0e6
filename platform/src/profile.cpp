// Profile files. A file is read whole for every call and written back whole
// through a temporary file and a rename, so a failed write never leaves half a
// file. Lines that are not touched are kept byte for byte.
#include "platform/profile.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "internal.h"
#include "platform/file.h"

namespace plat {
namespace {

std::mutex& profile_mutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

std::string trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  std::size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

bool has_dir(const char* name) {
  return std::strpbrk(name, "/\\") != nullptr;
}

// Where a profile name lives: a bare name in the Windows directory.
std::string profile_path(const char* file) {
  if (!has_dir(file)) return resolve_path((windows_dir() + "/" + file).c_str());
  return resolve_path(file);
}

// A line split into the parts that matter.
struct Line {
  std::string text;  // as in the file, without the line end
  enum Kind { Other, Section, Entry } kind = Other;
  std::string name;  // section name or key, trimmed
  std::string value;
};

Line parse(const std::string& text) {
  Line l;
  l.text = text;
  std::string t = trim(text);
  if (t.empty() || t[0] == ';') return l;
  if (t[0] == '[') {
    std::size_t close = t.find(']');
    l.kind = Line::Section;
    l.name = trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    return l;
  }
  std::size_t eq = t.find('=');
  if (eq == std::string::npos) return l;
  l.kind = Line::Entry;
  l.name = trim(t.substr(0, eq));
  l.value = trim(t.substr(eq + 1));
  // A value in matching quotes is given without them.
  if (l.value.size() >= 2 && (l.value.front() == '"' || l.value.front() == '\'') &&
      l.value.back() == l.value.front())
    l.value = l.value.substr(1, l.value.size() - 2);
  return l;
}

struct Profile {
  std::vector<Line> lines;
  std::string eol = "\r\n";  // new files get the Windows line end
  bool final_eol = true;
};

bool load(const std::string& path, Profile* p) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  p->eol =
      all.find("\r\n") != std::string::npos || all.find('\n') == std::string::npos ? "\r\n" : "\n";
  p->final_eol = all.empty() || all.back() == '\n';
  std::size_t pos = 0;
  while (pos < all.size()) {
    std::size_t nl = all.find('\n', pos);
    std::string text = all.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    p->lines.push_back(parse(text));
    if (nl == std::string::npos) break;
    pos = nl + 1;
  }
  return true;
}

bool store(const std::string& path, const Profile& p) {
  std::string all;
  for (std::size_t i = 0; i < p.lines.size(); ++i) {
    all += p.lines[i].text;
    if (i + 1 < p.lines.size() || p.final_eol) all += p.eol;
  }
  std::string tmp = path + ".tmp" + std::to_string(getpid());
  std::FILE* f = std::fopen(tmp.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(all.data(), 1, all.size(), f) == all.size();
  ok = std::fclose(f) == 0 && ok;
  if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

bool same(const std::string& a, const char* b) {
  return name_equal_nocase(a, trim(b));
}

// Index range [begin, end) of a section's body; begin is npos when missing.
// `end` stops after the last non-blank line, where new keys go.
void find_section(const Profile& p, const char* section, std::size_t* head, std::size_t* end) {
  *head = std::string::npos;
  for (std::size_t i = 0; i < p.lines.size(); ++i) {
    if (p.lines[i].kind == Line::Section && same(p.lines[i].name, section)) {
      *head = i;
      std::size_t j = i + 1;
      std::size_t last = i + 1;
      for (; j < p.lines.size() && p.lines[j].kind != Line::Section; ++j)
        if (!trim(p.lines[j].text).empty()) last = j + 1;
      *end = last;
      return;
    }
  }
}

const Line* find_key(const Profile& p, const char* section, const char* key) {
  std::size_t head, end;
  find_section(p, section, &head, &end);
  if (head == std::string::npos) return nullptr;
  for (std::size_t i = head + 1; i < end; ++i)
    if (p.lines[i].kind == Line::Entry && same(p.lines[i].name, key)) return &p.lines[i];
  return nullptr;
}

uint32_t copy_out(const std::string& s, char* buf, uint32_t size) {
  if (buf == nullptr || size == 0) return 0;
  uint32_t n = s.size() < size - 1 ? static_cast<uint32_t>(s.size()) : size - 1;
  std::memcpy(buf, s.data(), n);
  buf[n] = '\0';
  return n;
}

}  // namespace

bool make_dirs(const std::string& path) {
  if (path.empty()) return false;
  for (std::size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos == path.size() || path[pos] == '/') {
      std::string part = path.substr(0, pos);
      if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
  }
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool private_dir(const std::string& dir, bool create, std::string* why) {
  std::string ignored;
  std::string& reason = why != nullptr ? *why : ignored;
  struct stat st;
  if (lstat(dir.c_str(), &st) != 0) {
    if (errno != ENOENT || !create) {
      reason = dir + " does not exist";
      return false;
    }
    // The parents as make_dirs makes them; the directory itself 0700, never
    // one another user slipped in between (mkdir fails on an existing one).
    const std::size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0) make_dirs(dir.substr(0, slash));
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
      reason = dir + " cannot be created (" + std::strerror(errno) + ")";
      return false;
    }
    if (lstat(dir.c_str(), &st) != 0) {
      reason = dir + " cannot be created";
      return false;
    }
  }
  if (!S_ISDIR(st.st_mode)) {
    reason = dir + " is not a directory";
    return false;
  }
  if (st.st_uid != getuid()) {
    reason = dir + " belongs to another user";
    return false;
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    reason = dir + " can be written by other users";
    return false;
  }
  return true;
}

std::string windows_dir() {
  std::string dir;
  if (const char* w = std::getenv("MRV_WINDIR"); w && *w) {
    dir = w;
  } else if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x) {
    dir = std::string(x) + "/mrv33";
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
      const passwd* pw = getpwuid(getuid());
      home = pw ? pw->pw_dir : "/tmp";
    }
    dir = std::string(home) + "/.config/mrv33";
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

std::string system_profile() {
  return resolve_path((windows_dir() + "/WIN.INI").c_str());
}

uint32_t profile_get_string(const char* file, const char* section, const char* key, const char* def,
                            char* buf, uint32_t size) {
  std::string fallback = def ? def : "";
  // Trailing blanks of the default are dropped, as Windows does.
  while (!fallback.empty() && (fallback.back() == ' ' || fallback.back() == '\t'))
    fallback.pop_back();
  if (file == nullptr || *file == '\0' || section == nullptr || key == nullptr)
    return copy_out(fallback, buf, size);
  std::lock_guard<std::mutex> lock(profile_mutex());
  Profile p;
  if (!load(profile_path(file), &p)) return copy_out(fallback, buf, size);
  const Line* l = find_key(p, section, key);
  return copy_out(l ? l->value : fallback, buf, size);
}

int32_t profile_get_int(const char* file, const char* section, const char* key, int32_t def) {
  char buf[64];
  const char kMissing[] = "\x01";  // no real value starts with it
  profile_get_string(file, section, key, kMissing, buf, sizeof buf);
  if (std::strcmp(buf, kMissing) == 0) return def;
  // Leading digits (decimal, or hexadecimal after 0x); none gives 0.
  const char* s = buf;
  bool neg = *s == '-';
  if (neg) ++s;
  long long v = 0;
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
    v = std::strtoll(s + 2, nullptr, 16);
  else if (*s >= '0' && *s <= '9')
    v = std::strtoll(s, nullptr, 10);
  return static_cast<int32_t>(static_cast<uint32_t>(neg ? -v : v));
}

bool profile_write_string(const char* file, const char* section, const char* key,
                          const char* value) {
  if (file == nullptr || *file == '\0' || section == nullptr) return false;
  std::lock_guard<std::mutex> lock(profile_mutex());
  if (!has_dir(file)) {  // a profile of the Windows directory: it is made here
    std::string why;
    if (!private_dir(windows_dir(), true, &why)) {
      std::fprintf(stderr, "mrv33: the Windows directory %s; it is not used\n", why.c_str());
      return false;
    }
  }
  std::string path = profile_path(file);
  Profile p;
  bool existed = load(path, &p);
  if (!existed && (key == nullptr || value == nullptr)) return true;  // nothing to delete
  std::size_t head, end;
  find_section(p, section, &head, &end);
  if (key == nullptr) {  // the whole section goes
    if (head == std::string::npos) return true;
    std::size_t j = head + 1;
    while (j < p.lines.size() && p.lines[j].kind != Line::Section) ++j;
    p.lines.erase(p.lines.begin() + static_cast<std::ptrdiff_t>(head),
                  p.lines.begin() + static_cast<std::ptrdiff_t>(j));
    return store(path, p);
  }
  std::string k = trim(key);
  std::string entry = k + "=" + (value ? value : "");
  if (head == std::string::npos) {
    if (value == nullptr) return true;
    if (!p.lines.empty() && !trim(p.lines.back().text).empty()) p.lines.push_back(parse(""));
    std::string head_line(1,
                          '[');  // built by appends: GCC 12 warns falsely on "[" + s (-Wrestrict)
    head_line += trim(section);
    head_line += ']';
    p.lines.push_back(parse(head_line));
    p.lines.push_back(parse(entry));
    p.final_eol = true;
    return store(path, p);
  }
  for (std::size_t i = head + 1; i < end; ++i) {
    if (p.lines[i].kind == Line::Entry && same(p.lines[i].name, key)) {
      if (value == nullptr)
        p.lines.erase(p.lines.begin() + static_cast<std::ptrdiff_t>(i));
      else
        p.lines[i] = parse(entry);
      return store(path, p);
    }
  }
  if (value == nullptr) return true;
  p.lines.insert(p.lines.begin() + static_cast<std::ptrdiff_t>(end), parse(entry));
  if (end == p.lines.size() - 1) p.final_eol = true;
  return store(path, p);
}

}  // namespace plat
