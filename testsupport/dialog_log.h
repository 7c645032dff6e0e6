// Captures the message boxes of a test. While a DialogLog lives, every box is
// logged to a temporary file and answered from `answers` (comma-separated
// words: ok, cancel, abort, retry, ignore, yes, no; nullptr: an empty list, so
// every box takes its safe default, on a terminal too). The previous settings
// come back after.
//
//   mrvtest::DialogLog log("retry,cancel");
//   ... code that shows boxes ...
//   auto boxes = log.boxes();   // captions and texts in UTF-8
#pragma once
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "platform/dialog.h"

namespace mrvtest {

struct Box {
  std::string caption, text, buttons, icon, answer;  // UTF-8
};

class DialogLog {
 public:
  explicit DialogLog(const char* answers = nullptr) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "mrvdialog-XXXXXX").string();
    int fd = mkstemp(tmpl.data());
    if (fd >= 0) close(fd);
    path_ = tmpl;
    saved_log_ = get("MRV_DIALOG_LOG");
    saved_answers_ = get("MRV_DIALOG_ANSWERS");
    setenv("MRV_DIALOG_LOG", path_.c_str(), 1);
    setenv("MRV_DIALOG_ANSWERS", answers != nullptr ? answers : "", 1);
    plat::dialog_reset();
  }

  ~DialogLog() {
    put("MRV_DIALOG_LOG", saved_log_);
    put("MRV_DIALOG_ANSWERS", saved_answers_);
    plat::dialog_reset();
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }

  DialogLog(const DialogLog&) = delete;
  DialogLog& operator=(const DialogLog&) = delete;

  // Every box shown so far, in order.
  std::vector<Box> boxes() const {
    std::vector<Box> out;
    std::ifstream f(path_, std::ios::binary);
    std::string line;
    while (std::getline(f, line)) {
      Box b;
      b.caption = field(line, "caption");
      b.text = field(line, "text");
      b.buttons = field(line, "buttons");
      b.icon = field(line, "icon");
      b.answer = field(line, "answer");
      out.push_back(std::move(b));
    }
    return out;
  }

  const std::string& path() const { return path_; }

 private:
  static std::optional<std::string> get(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::optional<std::string>(v) : std::nullopt;
  }
  static void put(const char* name, const std::optional<std::string>& v) {
    if (v)
      setenv(name, v->c_str(), 1);
    else
      unsetenv(name);
  }

  // The string value of "key" in one flat JSON object line, unescaped.
  static std::string field(const std::string& line, const std::string& key) {
    std::string pat = "\"" + key + "\":\"";
    std::size_t p = line.find(pat);
    if (p == std::string::npos) return {};
    std::string out;
    for (p += pat.size(); p < line.size() && line[p] != '"'; ++p) {
      char c = line[p];
      if (c != '\\' || p + 1 >= line.size()) {
        out += c;
        continue;
      }
      char e = line[++p];
      switch (e) {
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u':
          if (p + 4 < line.size()) {
            out += static_cast<char>(std::stoi(line.substr(p + 1, 4), nullptr, 16));
            p += 4;
          }
          break;
        default:
          out += e;
      }
    }
    return out;
  }

  std::string path_;
  std::optional<std::string> saved_log_, saved_answers_;
};

}  // namespace mrvtest
