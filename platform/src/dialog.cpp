// Message boxes: the policy shared by every backend (scripted answers, safe
// defaults, the log), the box itself shown by the dialog backend (a terminal
// or a window on the display). One box at a time: the box, the answer and
// the log line of one call are never interleaved with another thread's.
#include "platform/dialog.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#include "backend.h"
#include "internal.h"
#include "platform/text.h"

namespace plat {
namespace {

struct ButtonSet {
  const char* name;    // as logged
  const char* prompt;  // as shown
  int32_t ids[3];      // buttons, 0 = none
};

const ButtonSet kSets[] = {
    {"ok", "OK", {IDOK, 0, 0}},
    {"okcancel", "OK/Cancel", {IDOK, IDCANCEL, 0}},
    {"abortretryignore", "Abort/Retry/Ignore", {IDABORT, IDRETRY, IDIGNORE}},
    {"yesnocancel", "Yes/No/Cancel", {IDYES, IDNO, IDCANCEL}},
    {"yesno", "Yes/No", {IDYES, IDNO, 0}},
    {"retrycancel", "Retry/Cancel", {IDRETRY, IDCANCEL, 0}},
};

const char* const kAnswerNames[] = {nullptr, "ok",     "cancel", "abort",
                                    "retry", "ignore", "yes",    "no"};

const ButtonSet& button_set(uint32_t flags) {
  uint32_t t = flags & MB_TYPEMASK;
  return t < sizeof kSets / sizeof kSets[0] ? kSets[t] : kSets[0];  // unknown types: OK only
}

const char* icon_name(uint32_t flags) {
  switch (flags & MB_ICONMASK) {
    case MB_ICONERROR:
      return "error";
    case MB_ICONQUESTION:
      return "question";
    case MB_ICONWARNING:
      return "warning";
    case MB_ICONINFORMATION:
      return "information";
    default:
      return "none";
  }
}

bool has(const ButtonSet& s, int32_t id) {
  return s.ids[0] == id || s.ids[1] == id || s.ids[2] == id;
}

// What a box answers when nobody is there to choose: Cancel, else No, else
// OK; the abort/retry/ignore box has none of them and gives Abort, so a retry
// loop always ends.
int32_t safe_default(const ButtonSet& s) {
  for (int32_t id : {IDCANCEL, IDNO, IDOK, IDABORT})
    if (has(s, id)) return id;
  return s.ids[0];
}

// The button Enter chooses: the first, or the second or third with the
// default-button flags 0x100 and 0x200 when the box has it.
int32_t default_button(const ButtonSet& s, uint32_t flags) {
  const uint32_t n = (flags >> 8) & 0xF;
  return n < 3 && s.ids[n] != 0 ? s.ids[n] : s.ids[0];
}

// Answer word (any case) to button number, 0 if unknown.
int32_t parse_answer(std::string w) {
  std::size_t b = w.find_first_not_of(" \t\r\n");
  std::size_t e = w.find_last_not_of(" \t\r\n");
  if (b == std::string::npos) return 0;
  w = w.substr(b, e - b + 1);
  for (char& c : w) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  for (int32_t id = IDOK; id <= IDNO; ++id)
    if (w == kAnswerNames[id]) return id;
  return 0;
}

void json_string(std::string& out, const std::string& s) {
  out += '"';
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

class Dialogs {
 public:
  // `nobody`: no person can be asked (the video thread has gone), so the
  // box takes a scripted answer or its safe default.
  int32_t show(const char* text, const char* caption, uint32_t flags, bool nobody) {
    const bool graphical = window_backend().graphical();  // started before the lock
    std::lock_guard<std::mutex> lock(mu_);
    if (!loaded_) load(graphical);
    const ButtonSet& set = button_set(flags);
    std::string utext = cp932_to_utf8(text ? text : "");
    std::string ucap = cp932_to_utf8(caption ? caption : "");
    std::fprintf(stderr, "\n[%s]\n%s\n(%s)\n", ucap.c_str(), utext.c_str(), set.prompt);
    int32_t answer;
    if (scripted_)
      answer = from_queue(set);
    else if (nobody)
      answer = safe_default(set);
    else
      answer = dialog_backend().show(ucap, utext, set.prompt, set.ids, default_button(set, flags),
                                     safe_default(set), flags);
    if (!has(set, answer)) answer = safe_default(set);  // a box closed without a choice
    std::fprintf(stderr, "-> %s\n", kAnswerNames[answer]);
    std::fflush(stderr);
    log(ucap, utext, set, icon_name(flags), answer);
    return answer;
  }

  void reset() {
    const bool graphical = window_backend().graphical();
    std::lock_guard<std::mutex> lock(mu_);
    load(graphical);
  }

 private:
  void load(bool graphical) {
    loaded_ = true;
    answers_.clear();
    if (const char* a = std::getenv("MRV_DIALOG_ANSWERS")) {
      std::string all = a;
      std::size_t pos = 0;
      while (pos <= all.size()) {
        std::size_t comma = all.find(',', pos);
        if (comma == std::string::npos) comma = all.size();
        std::string w = all.substr(pos, comma - pos);
        if (w.find_first_not_of(" \t") != std::string::npos) answers_.push_back(w);
        pos = comma + 1;
      }
    }
    const char* l = std::getenv("MRV_DIALOG_LOG");
    log_path_ = l ? l : "";
    // A list of answers (even an empty one) stands in for the person, so that a
    // scripted run does not stop at a box; a log alone only records. Without
    // a display, a person can answer only at a terminal.
    scripted_ =
        std::getenv("MRV_DIALOG_ANSWERS") != nullptr || (!graphical && !isatty(STDIN_FILENO));
  }

  // The next queued word; a word that is not a button of this box is used up
  // and the box takes its safe default (so a script of answers cannot make a
  // retry box loop).
  int32_t from_queue(const ButtonSet& set) {
    if (answers_.empty()) return safe_default(set);
    std::string w = answers_.front();
    answers_.pop_front();
    int32_t id = parse_answer(w);
    if (id != 0 && has(set, id)) return id;
    std::fprintf(stderr, "(answer \"%s\" does not fit this box; default taken)\n", w.c_str());
    return safe_default(set);
  }

  void log(const std::string& caption, const std::string& text, const ButtonSet& set,
           const char* icon, int32_t answer) {
    if (log_path_.empty()) return;
    std::string line = "{\"caption\":";
    json_string(line, caption);
    line += ",\"text\":";
    json_string(line, text);
    line += ",\"buttons\":\"";
    line += set.name;
    line += "\",\"icon\":\"";
    line += icon;
    line += "\",\"answer\":\"";
    line += kAnswerNames[answer];
    line += "\"}\n";
    if (std::FILE* f = std::fopen(log_path_.c_str(), "ab")) {
      std::fwrite(line.data(), 1, line.size(), f);
      std::fclose(f);  // flushes before the box returns
    }
  }

  std::mutex mu_;
  bool loaded_ = false;
  bool scripted_ = true;
  std::deque<std::string> answers_;
  std::string log_path_;
};

Dialogs& dialogs() {
  static Dialogs* d = new Dialogs;  // boxes may appear during static destruction
  return *d;
}

}  // namespace

namespace {
std::atomic<BoxWatcher> g_box_watcher{nullptr};
}  // namespace

void set_box_watcher(BoxWatcher watcher) {
  g_box_watcher.store(watcher);
}

// A box raised off the video thread is shown by the video thread, which owns
// the display; the raiser waits for the answer (serving its own sends).
int32_t message_box(uint32_t owner, const char* text, const char* caption, uint32_t flags) {
  if (const BoxWatcher watch = g_box_watcher.load()) watch(text, caption, flags);
  window_backend();  // chosen before any box: the thread that starts it shows them
  int32_t answer = 0;
  switch (call_on_video_thread([&] { answer = dialogs().show(text, caption, flags, false); })) {
    case VideoCall::kDone:
      return answer;
    case VideoCall::kCallerRuns:
      return dialogs().show(text, caption, flags, false);
    case VideoCall::kGone:
      break;
  }
  return dialogs().show(text, caption, flags, true);
}

void dialog_reset() {
  dialogs().reset();
}

}  // namespace plat
