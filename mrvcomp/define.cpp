// The macro and include tables and the definition file that fills them.
#include <cstdio>
#include <cstring>
#include <string>

#include "internal.h"
#include "mrvfile.h"
#include "mrvtask.h"
#include "platform/text.h"

namespace mrvcomp {

MacroTable g_macros = {15,
                       {{"NULL", ""},
                        {"TRUE", "-1"},
                        {"FALSE", "0"},
                        {"MRVBLACK", "0x0000"},
                        {"MRVRED", "0x7c00"},
                        {"MRVGREEN", "0x03e0"},
                        {"MRVBLUE", "0x001f"},
                        {"MRVYELLOW", "0x7fe0"},
                        {"MRVCIAN", "0x03ff"},
                        {"MRVMAZENDA", "0x7c1f"},
                        {"MRVWHITE", "0x7fff"},
                        {"MRVGRAY", "0x3def"},
                        {"MRVORANGE", "0x7de0"},
                        {"MRVHREV", "0x10000000"},
                        {"MRVVREV", "0x20000000"}}};
IncludeTable g_includes = {0, {}};
uint32_t g_tableVersion = 0;

}  // namespace mrvcomp

using namespace mrvcomp;

namespace {

bool IsBlank(uint8_t c) {
  return c == ' ' || c == '\t' || c == '\r';
}
bool IsEnd(uint8_t c) {
  return c == 0x00 || c == 0x1A;
}

// Descending byte order: a name sorts before every beginning of it.
bool Before(const char* a, const char* b) {
  return std::strcmp(a, b) > 0;
}

// Bubble sort over all entries until a sweep exchanges nothing; names and
// texts move together.
template <typename Table>
void SortDescending(Table& table) {
  for (bool swapped = true; swapped;) {
    swapped = false;
    for (int32_t i = 0; i + 1 < table.count; ++i) {
      if (Before(table.entries[i + 1].name, table.entries[i].name)) {
        std::swap(table.entries[i], table.entries[i + 1]);
        swapped = true;
      }
    }
  }
  ++g_tableVersion;
}

template <typename Table>
bool HasName(const Table& table, const char* name) {
  for (int32_t i = 0; i < table.count; ++i)
    if (std::strcmp(table.entries[i].name, name) == 0) return true;
  return false;
}

// Reports a message with a "%s" or "%d" argument; returns false.
bool ReportLine(uint32_t owner, const char* format, int32_t line) {
  char text[256];
  plat::format_cut(text, sizeof text, format, static_cast<int>(line));
  Report(owner, text);
  return false;
}
bool ReportName(uint32_t owner, const char* format, const char* name) {
  char text[256];
  plat::format_cut(text, sizeof text, format, name);
  Report(owner, text);
  return false;
}

const char* IllegalWritten() {
  return MRV_CP932("定義ファイルに不正なコマンドが記述されています。(line%d)");
}

class DefinitionReader {
 public:
  DefinitionReader(uint32_t owner, const char* text) : owner_(owner), p_(text) {}

  // Reads every command; false after a reported error.
  bool Run() {
    for (;;) {
      if (!SkipSpace()) return false;
      if (IsEnd(Peek())) return true;
      if (!Command()) return false;
    }
  }

 private:
  uint8_t Peek() const { return static_cast<uint8_t>(*p_); }

  // Skips blanks, line feeds and comments. A lone '/' and a control code
  // inside a comment are errors.
  bool SkipSpace() {
    for (;;) {
      const uint8_t c = Peek();
      if (IsBlank(c)) {
        ++p_;
      } else if (c == '\n') {
        ++p_;
        ++g_line;
      } else if (c == '/') {
        if (p_[1] != '/') return ReportLine(owner_, IllegalWritten(), g_line);
        for (p_ += 2;; ++p_) {
          const uint8_t d = Peek();
          if (IsEnd(d) || d == '\n' || d == '\r') break;
          if (d < 0x20 && d != '\t') return ReportLine(owner_, IllegalWritten(), g_line);
        }
      } else {
        return true;
      }
    }
  }

  bool Command() {
    const char* word = p_;
    while (Peek() > 0x20) ++p_;
    const auto length = static_cast<size_t>(p_ - word);
    const auto is = [&](const char* name) {
      return length == std::strlen(name) && strncasecmp(word, name, length) == 0;
    };
    char name[kNameSize];
    if (is("#define")) {
      char text[kTextSize];
      return Item(name, kNameSize - 1) && Item(text, kTextSize - 1) && AddMacro(name, text);
    }
    if (is("#include")) {
      char file[kFileSize];
      return Item(name, kNameSize - 1) && Item(file, kFileSize - 1) && AddInclude(name, file);
    }
    return ReportLine(owner_, MRV_CP932("定義ファイルに不正なコマンドがあります。(line%d)"),
                      g_line);
  }

  // Reads one item: its first non-blank byte is the delimiter, and the item
  // is every byte up to the next one. An item that runs into the end of the
  // text, or a missing item, is an illegal command.
  bool Item(char* out, int limit) {
    while (IsBlank(Peek()) || Peek() == '\n') {
      if (Peek() == '\n') ++g_line;
      ++p_;
    }
    const char delimiter = *p_;
    if (IsEnd(Peek())) return ReportLine(owner_, IllegalWritten(), g_line);
    ++p_;
    for (int n = 0;; ++n, ++p_) {
      if (*p_ == delimiter) {
        out[n] = 0;
        ++p_;
        return true;
      }
      if (IsEnd(Peek())) return ReportLine(owner_, IllegalWritten(), g_line);
      if (n == limit)
        return ReportLine(owner_, MRV_CP932("項目の文字列長が制限を越えています。(line%d)"),
                          g_line);
      out[n] = *p_;
    }
  }

  bool AddMacro(char* name, const char* text) {
    plat::upper_cp932(name);
    // An empty name would stand at every position of every source.
    if (name[0] == 0) return ReportLine(owner_, IllegalWritten(), g_line);
    if (HasName(g_macros, name))
      return ReportName(owner_, MRV_CP932("マクロ名 \"%s\" はすでに定義されています。"), name);
    if (g_macros.count >= kTableEntries)
      return ReportLine(owner_, MRV_CP932("マクロの定義が200個を越えています。(line%d)"), g_line);
    MacroEntry& e = g_macros.entries[g_macros.count++];
    std::strcpy(e.name, name);
    std::strcpy(e.text, text);
    SortDescending(g_macros);
    return true;
  }

  bool AddInclude(char* name, const char* file) {
    plat::upper_cp932(name);
    if (name[0] == 0) return ReportLine(owner_, IllegalWritten(), g_line);
    if (HasName(g_includes, name))
      return ReportName(owner_, MRV_CP932("インクルード名 \"%s\" はすでに定義されています。"),
                        name);
    if (!MRVFILE_Exist(owner_, file))
      return ReportName(owner_, MRV_CP932("インクルードファイル \"%s\" が存在しません。"), file);
    if (g_includes.count >= kTableEntries)
      return ReportLine(owner_, MRV_CP932("インクルードの定義が200個を越えています。(line%d)"),
                        g_line);
    IncludeEntry& e = g_includes.entries[g_includes.count++];
    std::strcpy(e.name, name);
    std::strcpy(e.file, file);
    SortDescending(g_includes);
    return true;
  }

  uint32_t owner_;
  const char* p_;
};

}  // namespace

extern "C" MRV_API int32_t MRVCOMP_DefineFile(uint32_t owner, const char* path) {
  if (path == nullptr || !MRVFILE_Exist(owner, path)) return 1;
  char* text = static_cast<char*>(MRVFILE_ReadBlock(owner, path, 1));
  if (text == nullptr) return 0;
  g_line = 1;
  const bool ok = DefinitionReader(owner, text).Run();
  MRVTASK_FreeMemory(owner, text);
  return ok ? 1 : 0;
}

extern "C" MRV_API int32_t MRVCOMP_GetEntry(int32_t kind, int32_t index, char* name, char* text) {
  if (name == nullptr || text == nullptr || index < 0) return 0;
  if (kind == MRVCOMP_ENTRY_MACRO && index < g_macros.count) {
    std::memcpy(name, g_macros.entries[index].name, kNameSize);
    std::memcpy(text, g_macros.entries[index].text, kTextSize);
    return 1;
  }
  if (kind == MRVCOMP_ENTRY_INCLUDE && index < g_includes.count) {
    std::memcpy(name, g_includes.entries[index].name, kNameSize);
    std::memcpy(text, g_includes.entries[index].file, kFileSize);
    return 1;
  }
  return 0;
}
