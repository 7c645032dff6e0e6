// Pass 1: removes blanks and comments, upper-cases code, checks the character
// set and replaces macro and include names by their texts.
//
// Names are looked up through an index by first byte that keeps table order,
// so the entry taken is the first matching one in table order, exactly as if
// every entry were tried at every position.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "internal.h"
#include "mrvfile.h"
#include "mrvtask.h"

using namespace mrvcomp;

namespace {

// How pass 1 treats a byte before any name is tried.
enum Kind : uint8_t {
  kPlain,    // copied (upper-cased); may still start a name
  kEnd,      // 0x00, 0x1A: end of the text
  kSkip,     // tab, carriage return, space
  kNewLine,  // copied, counted
  kQuote,    // a string constant
  kSlash,    // a comment or a lone '/'
  kLead,     // starts a double-byte character: error 1 unless a name matches
  kControl   // below 0x20: error 2 unless a name matches
};

struct NameRef {
  const char* name;
  size_t length;
  int index;
};

// The tables indexed by first byte, in table order.
struct Index {
  uint32_t version = UINT32_MAX;
  std::vector<NameRef> macros[256];
  std::vector<NameRef> includes[256];
  bool starts[256] = {};

  void Refresh() {
    if (version == g_tableVersion) return;
    for (int c = 0; c < 256; ++c) {
      macros[c].clear();
      includes[c].clear();
      starts[c] = false;
    }
    for (int i = 0; i < g_macros.count; ++i) Add(macros, g_macros.entries[i].name, i);
    for (int i = 0; i < g_includes.count; ++i) Add(includes, g_includes.entries[i].name, i);
    version = g_tableVersion;
  }

  void Add(std::vector<NameRef>* buckets, const char* name, int i) {
    const auto first = static_cast<uint8_t>(name[0]);
    buckets[first].push_back({name, std::strlen(name), i});
    starts[first] = true;
  }
};

Index g_index;

// The include files of the current compile, as pass 1 copies them (line feeds
// and a final 0x1A left out), by file name. Each file is read once per
// compile, so a name that keeps producing itself costs no more than a macro.
struct IncludeCache {
  int compiles = 0;  // MRVCOMP_Comp calls under way
  std::vector<std::pair<std::string, std::string>> files;

  const std::string* Find(const char* file) const {
    for (const auto& f : files)
      if (f.first == file) return &f.second;
    return nullptr;
  }
};

IncludeCache g_read;

// The entry of `bucket` whose whole name stands at p, or nullptr.
const NameRef* Match(const std::vector<NameRef>& bucket, const char* p, const char* end) {
  for (const NameRef& ref : bucket) {
    if (static_cast<size_t>(end - p) >= ref.length && std::memcmp(p, ref.name, ref.length) == 0)
      return &ref;
  }
  return nullptr;
}

class Pass1 {
 public:
  explicit Pass1(CompileRequest* req) : req_(req) {
    for (int c = 0; c < 256; ++c) {
      Kind k = kPlain;
      if (c == 0x00 || c == 0x1A)
        k = kEnd;
      else if (c == '\t' || c == '\r' || c == ' ')
        k = kSkip;
      else if (c == '\n')
        k = kNewLine;
      else if (c == '"')
        k = kQuote;
      else if (c == '/')
        k = kSlash;
      else if (IsLead(static_cast<uint8_t>(c)))
        k = kLead;
      else if (c < 0x20)
        k = kControl;
      kind_[c] = k;
      upper_[c] = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
  }

  // Returns the number of replacements, or -1.
  int32_t Run() {
    const char* p = req_->source;
    // The text ends at its 0 at the latest; the block may be larger (a
    // previous run's block keeps its capacity), and what follows the 0 must
    // not count as text still to come when room is made.
    const char* end = p;
    if (p != nullptr) {
      const void* zero = std::memchr(p, 0, req_->sourceSize);
      end = zero != nullptr ? static_cast<const char*>(zero) + 1 : p + req_->sourceSize;
    }
    char* out = req_->outputPos;
    int32_t count = 0;
    g_firstReplaceLine = -1;
    for (;;) {
      if (p >= end) {  // a text without its end mark
        req_->outputPos = out;
        if (!Reserve(req_, 1)) return -1;
        *req_->outputPos = 0;
        return count;
      }
      const auto c = static_cast<uint8_t>(*p);
      switch (kind_[c]) {
        case kEnd:
          *out = 0;
          req_->outputPos = out;
          return count;
        case kSkip:
          ++p;
          continue;
        case kNewLine:
          *out++ = '\n';
          ++p;
          ++g_line;
          continue;
        case kQuote: {
          const char* q = ScanString(p + 1, end);
          if (q == nullptr) return Stop(out);
          std::memcpy(out, p, static_cast<size_t>(q - p));
          out += q - p;
          p = q;
          continue;
        }
        case kSlash:
          if (p + 1 < end && p[1] == '/') {
            for (p += 2; p < end; ++p) {
              const auto d = static_cast<uint8_t>(*p);
              if (d == 0x00 || d == '\n' || d == '\r' || d == 0x1A) break;
              if (d < 0x20 && d != '\t') return Fail(MRVCOMP_ERR_CONTROL, Stop(out));
            }
          } else {
            *out++ = *p++;
          }
          continue;
        default:
          break;
      }
      if (g_index.starts[c]) {
        if (const NameRef* m = Match(g_index.macros[c], p, end)) {
          p += m->length;
          if (!Replace(out, g_macros.entries[m->index].text, p, end)) return Stop(out);
          ++count;
          continue;
        }
        if (const NameRef* m = Match(g_index.includes[c], p, end)) {
          p += m->length;
          if (!Include(out, g_includes.entries[m->index].file, p, end)) return Stop(out);
          ++count;
          continue;
        }
      }
      if (kind_[c] == kLead) return Fail(MRVCOMP_ERR_DOUBLEBYTE, Stop(out));
      if (kind_[c] == kControl) return Fail(MRVCOMP_ERR_CONTROL, Stop(out));
      // A run of plain bytes that start no name.
      do {
        *out++ = upper_[static_cast<uint8_t>(*p++)];
      } while (p < end && kind_[static_cast<uint8_t>(*p)] == kPlain &&
               !g_index.starts[static_cast<uint8_t>(*p)]);
    }
  }

 private:
  // Leaves the partial text in output and fails the run.
  int32_t Stop(char* out) {
    *out = 0;
    req_->outputPos = out;
    return -1;
  }

  // Makes room for `length` more bytes besides what the rest of the source can
  // still produce (at most one byte per byte), and notes the replacement.
  bool Room(char*& out, size_t length, const char* p, const char* end) {
    req_->outputPos = out;
    if (!Reserve(req_, length + static_cast<size_t>(end - p) + 1)) return false;
    out = req_->outputPos;
    if (g_firstReplaceLine < 0) g_firstReplaceLine = g_line;
    return true;
  }

  // The text may not grow without bound by replacements.
  bool WithinBound(const char* out) {
    if (out - req_->output <= MRVCOMP_MAX_TEXT) return true;
    g_error = MRVCOMP_ERR_RUNAWAY;
    return false;
  }

  // Copies a replacement text, leaving out its line feeds.
  bool Replace(char*& out, const char* text, const char* p, const char* end) {
    const size_t length = std::strlen(text);
    if (!Room(out, length, p, end)) return false;
    for (size_t i = 0; i < length; ++i)
      if (text[i] != '\n') *out++ = text[i];
    return WithinBound(out);
  }

  // Copies a whole include file, leaving out its line feeds and a final 0x1A.
  bool Include(char*& out, const char* file, const char* p, const char* end) {
    const std::string* text = g_read.Find(file);
    if (text == nullptr) {
      std::string read;
      if (!ReadInclude(file, read)) return false;
      g_read.files.emplace_back(file, std::move(read));
      text = &g_read.files.back().second;
    }
    if (!Room(out, text->size(), p, end)) return false;
    std::memcpy(out, text->data(), text->size());
    out += text->size();
    return WithinBound(out);
  }

  // Reads an include file as pass 1 copies it. false after a report.
  bool ReadInclude(const char* file, std::string& text) {
    const uint32_t owner = req_->hwndOwner;
    const uint32_t size = MRVFILE_Size(owner, file);
    if (size == 0 && !MRVFILE_Exist(owner, file)) return false;  // reported by MRVFILE_Size
    text.assign(size, '\0');
    if (size > 0) {
      const uint32_t handle = MRVFILE_ReadOpen(owner, file);
      if (handle == 0) return false;
      if (!MRVFILE_Read(owner, handle, text.data(), size)) return false;  // closed by the reader
      MRVFILE_Close(owner, handle);
    }
    std::erase(text, '\n');
    if (!text.empty() && text.back() == 0x1A) text.pop_back();
    return true;
  }

  CompileRequest* req_;
  Kind kind_[256];
  char upper_[256];
};

}  // namespace

mrvcomp::CompileScope::CompileScope() {
  if (g_read.compiles++ == 0) g_read.files.clear();
}

mrvcomp::CompileScope::~CompileScope() {
  if (--g_read.compiles == 0) g_read.files.clear();
}

extern "C" MRV_API int32_t MRVCOMP_Pass1(CompileRequest* req) {
  if (req == nullptr) return -1;
  StartPass(req, 1);
  g_index.Refresh();
  const uint32_t size = req->source != nullptr && req->sourceSize > 0 ? req->sourceSize : 1;
  void* block = MRVTASK_AllocMemory(req->hwndOwner, size);
  if (block == nullptr) return -1;
  req->output = static_cast<char*>(block);
  req->outputPos = req->output;
  req->outputSize = size;
  req->sourcePos = req->source;
  if (g_read.compiles == 0) g_read.files.clear();  // a pass run on its own
  const int32_t count = Pass1(req).Run();
  if (g_read.compiles == 0) g_read.files.clear();
  MRVTASK_FreeMemory(req->hwndOwner, req->source);
  req->source = nullptr;
  req->sourcePos = nullptr;
  req->sourceSize = 0;
  return count;
}
