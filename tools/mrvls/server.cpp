#include "server.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>

#include "reference.h"
#include "title.h"

namespace fs = std::filesystem;

namespace mrvls {

namespace {

// JSON-RPC and LSP error codes.
constexpr int kParseError = -32700;
constexpr int kInvalidRequest = -32600;
constexpr int kMethodNotFound = -32601;
constexpr int kInvalidParams = -32602;
constexpr int kInternalError = -32603;
constexpr int kServerNotInitialized = -32002;

// LSP enumerations used here.
constexpr int kError = 1, kWarning = 2;
constexpr int kKindFunction = 3, kKindModule = 9, kKindConstant = 21, kKindFile = 17;
constexpr int kSymbolFunction = 12, kSymbolNamespace = 3, kSymbolConstant = 14, kSymbolFile = 1;

// Sources larger than this are not read from disk for the encoding check.
constexpr std::size_t kMaxDiskRead = 64u << 20;

int hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string stem_upper(const std::string& path) {
  return upper(fs::path(path).stem().string());
}

bool is_definitions_path(const std::string& path) {
  return upper(fs::path(path).extension().string()) == ".DEF";
}

std::string read_file(const std::string& path, std::size_t limit, bool* ok) {
  *ok = false;
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  if (!f) return {};
  const std::streamoff size = f.tellg();
  if (size < 0 || static_cast<unsigned long long>(size) > limit) return {};
  std::string s(static_cast<std::size_t>(size), '\0');
  f.seekg(0);
  if (!f.read(s.data(), size)) return {};
  *ok = true;
  return s;
}

// The line of the definition file where `name` is defined (from 0), or -1:
// the first line with the command word and the name as an item.
int definition_line(const std::string& defsText, const std::string& name, const char* command) {
  const Text t(defsText);
  for (int i = 0; i < t.lines(); ++i) {
    const std::string l = upper(std::string(t.line(i)));
    const std::size_t c = l.find(command);
    if (c == std::string::npos) continue;
    std::size_t p = c + std::strlen(command);
    while (p < l.size() && (l[p] == ' ' || l[p] == '\t')) ++p;
    if (p >= l.size()) continue;
    const char delim = l[p];
    const std::size_t e = l.find(delim, p + 1);
    if (e != std::string::npos && l.compare(p + 1, e - p - 1, name) == 0) return i;
  }
  return -1;
}

std::string markdown_code(const std::string& s) {
  return "```\n" + s + "\n```";
}

}  // namespace

std::string uri_to_path(const std::string& uri) {
  if (uri.compare(0, 7, "file://") != 0) return {};
  std::string rest = uri.substr(7);
  // file://host/path: only the local host.
  const std::size_t slash = rest.find('/');
  if (slash == std::string::npos) return {};
  const std::string host = rest.substr(0, slash);
  if (!host.empty() && host != "localhost") return {};
  rest = rest.substr(slash);
  std::string out;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == '%' && i + 2 < rest.size() && hex(rest[i + 1]) >= 0 && hex(rest[i + 2]) >= 0) {
      out += static_cast<char>(hex(rest[i + 1]) * 16 + hex(rest[i + 2]));
      i += 2;
    } else {
      out += rest[i];
    }
  }
  if (out.find('\0') != std::string::npos) return {};
  return fs::path(out).lexically_normal().string();
}

std::string path_to_uri(const std::string& path) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out = "file://";
  for (const char c : path) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

// ---- Messages ----------------------------------------------------------------

int Server::run() {
  while (!exit_) {
    json msg;
    std::string error;
    switch (ch_.read(&msg, &error)) {
      case Channel::Read::End:
        return shutdown_ ? 0 : 1;
      case Channel::Read::Broken:
        fail(nullptr, error.find("JSON") != std::string::npos ? kParseError : kInvalidRequest,
             error);
        continue;
      case Channel::Read::Message:
        break;
    }
    if (msg.is_array() && msg.empty()) {
      fail(nullptr, kInvalidRequest, "an empty batch");
    } else if (msg.is_array()) {
      // Batches are not part of the protocol; each element is answered alone.
      for (const json& m : msg) handle(m);
    } else {
      handle(msg);
    }
  }
  return shutdown_ ? 0 : 1;
}

void Server::respond(const json& id, json result) {
  ch_.write({{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}});
}

void Server::fail(const json& id, int code, const std::string& message) {
  ch_.write({{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}});
}

void Server::handle(const json& msg) {
  if (!msg.is_object()) {
    fail(nullptr, kInvalidRequest, "a message must be a JSON object");
    return;
  }
  const auto m = msg.find("method");
  const auto id = msg.find("id");
  const bool hasId = id != msg.end() && (id->is_number_integer() || id->is_string());
  if (m == msg.end() || !m->is_string()) {
    if (msg.contains("result") || msg.contains("error")) return;  // an answer to nothing we asked
    fail(hasId ? *id : json(nullptr), kInvalidRequest, "a message without a method");
    return;
  }
  const std::string method = m->get<std::string>();
  const json params = msg.value("params", json::object());
  if (id != msg.end() && !hasId) {
    fail(nullptr, kInvalidRequest, "a request id must be a number or a string");
    return;
  }
  try {
    if (!hasId) {
      notification(method, params);
      return;
    }
    if (!initialized_ && method != "initialize") {
      fail(*id, kServerNotInitialized, "the server is not initialized");
      return;
    }
    if (shutdown_) {
      fail(*id, kInvalidRequest, "the server is shutting down");
      return;
    }
    json result = request(method, params);
    if (result.is_discarded()) {
      fail(*id, kMethodNotFound, "unknown method " + method);
    } else {
      respond(*id, std::move(result));
    }
  } catch (const json::exception& e) {
    if (hasId) fail(*id, kInvalidParams, std::string("invalid parameters: ") + e.what());
  } catch (const std::invalid_argument& e) {
    if (hasId) fail(*id, kInvalidParams, e.what());
  } catch (const std::exception& e) {
    if (hasId) fail(*id, kInternalError, e.what());
  }
}

json Server::request(const std::string& method, const json& params) {
  if (method == "initialize") {
    initialized_ = true;
    if (params.is_object()) {
      const json opts = params.value("initializationOptions", json::object());
      if (opts.is_object() && opts.contains("programDirectory") &&
          opts["programDirectory"].is_string() &&
          !opts["programDirectory"].get<std::string>().empty()) {
        opt_.programDir = opts["programDirectory"].get<std::string>();
      }
    }
    return {{"capabilities",
             {{"positionEncoding", "utf-16"},
              {"textDocumentSync",
               {{"openClose", true}, {"change", 1}, {"save", {{"includeText", false}}}}},
              {"hoverProvider", true},
              {"completionProvider", {{"triggerCharacters", {":", "\"", "("}}}},
              {"definitionProvider", true},
              {"documentSymbolProvider", true}}},
            {"serverInfo", {{"name", "mrvls"}, {"version", "3.3"}}}};
  }
  if (method == "shutdown") {
    shutdown_ = true;
    return nullptr;
  }
  if (method == "textDocument/hover") return hover(params);
  if (method == "textDocument/completion") return completion(params);
  if (method == "textDocument/definition") return definition(params);
  if (method == "textDocument/documentSymbol") return symbols(params);
  return json::value_t::discarded;
}

void Server::notification(const std::string& method, const json& params) {
  if (method == "exit") {
    exit_ = true;
    return;
  }
  if (!initialized_ || shutdown_) return;
  if (method == "textDocument/didOpen") {
    open(params);
  } else if (method == "textDocument/didChange") {
    change(params);
  } else if (method == "textDocument/didSave") {
    save(params);
  } else if (method == "textDocument/didClose") {
    const std::string uri = params.at("textDocument").at("uri").get<std::string>();
    const auto it = docs_.find(uri);
    if (it != docs_.end()) {
      ch_.write({{"jsonrpc", "2.0"},
                 {"method", "textDocument/publishDiagnostics"},
                 {"params", {{"uri", uri}, {"diagnostics", json::array()}}}});
      const bool defs = it->second.definitions;
      docs_.erase(it);
      if (defs) {
        for (auto& [u, d] : docs_) recheck(d);
      }
    }
  } else if (method == "workspace/didChangeWatchedFiles") {
    for (auto& [u, d] : docs_) recheck(d);
  }
}

// ---- Documents ---------------------------------------------------------------

Server::Document& Server::doc(const json& params) {
  const std::string uri = params.at("textDocument").at("uri").get<std::string>();
  const auto it = docs_.find(uri);
  if (it == docs_.end()) throw std::invalid_argument("the document " + uri + " is not open");
  return it->second;
}

Title Server::title_of(const Document& d) const {
  return Title(d.path.empty() ? std::string() : fs::path(d.path).parent_path().string(),
               opt_.programDir);
}

// The definition file a scenario is compiled with; an open, edited copy
// stands in for the file on disk (written to the scratch directory, never
// into the title's folder).
std::string Server::definitions_of(const Document& d) const {
  const std::string defs = title_of(d).definitions();
  if (defs.empty()) return {};
  for (const auto& [u, other] : docs_) {
    if (other.definitions && other.path == defs) {
      const std::string copy = opt_.scratch + "/open.def";
      std::ofstream f(copy, std::ios::binary | std::ios::trunc);
      const std::string bytes = to_cp932(other.text.str(), nullptr);
      f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
      return copy;
    }
  }
  return defs;
}

void Server::open(const json& params) {
  const json& td = params.at("textDocument");
  Document d;
  d.uri = td.at("uri").get<std::string>();
  d.path = uri_to_path(d.uri);
  d.version = td.value("version", 0);
  d.text = Text(td.at("text").get<std::string>());
  const std::string lang = td.value("languageId", "");
  d.definitions =
      lang == "mrv-definitions" || (lang != "mrv-scenario" && is_definitions_path(d.path));
  const std::string uri = d.uri;
  docs_[uri] = std::move(d);
  save(params);
}

void Server::change(const json& params) {
  Document& d = doc(params);
  const json& changes = params.at("contentChanges");
  if (!changes.is_array() || changes.empty()) return;
  // The server asks for whole texts; the last change holds the document.
  const json& last = changes.back();
  if (last.contains("range")) throw std::invalid_argument("only whole-text changes are accepted");
  d.text = Text(last.at("text").get<std::string>());
  d.version = params.at("textDocument").value("version", d.version);
  recheck(d);
  if (d.definitions) {
    for (auto& [u, other] : docs_) {
      if (!other.definitions) recheck(other);
    }
  }
}

// Reads the file as it stands on disk for the encoding check, then checks.
void Server::save(const json& params) {
  Document& d = doc(params);
  d.diskInvalid.reset();
  if (!d.path.empty()) {
    bool ok = false;
    const std::string bytes = read_file(d.path, kMaxDiskRead, &ok);
    if (ok) {
      const std::size_t bad = invalid_cp932(bytes);
      if (bad != std::string::npos) d.diskInvalid = bad;
      if (d.diskInvalid) {
        // Where the bad byte stands in the editor's text: its line, and the
        // column of the text before it on that line.
        const Text raw(bytes);
        const int line = raw.line_of(bad);
        const std::size_t col = bad - (raw.line(line).data() - raw.str().data());
        const std::string before = from_cp932(raw.line(line).substr(0, col));
        d.diskInvalid = d.text.offset(line, utf16_length(before));
      }
    }
  }
  recheck(d);
  if (d.definitions) {
    for (auto& [u, other] : docs_) {
      if (!other.definitions) recheck(other);
    }
  }
}

void Server::recheck(Document& d) {
  d.unencodable.clear();
  d.tokens = tokenize(d.text);
  const Title t = title_of(d);
  CheckRequest rq;
  rq.dir = t.dir().empty() ? opt_.scratch : t.dir();
  rq.scratch = opt_.scratch;
  const std::string source = to_cp932(d.text.str(), &d.unencodable);
  if (d.definitions) {
    rq.compile = false;
    rq.defs = opt_.scratch + "/checked.def";
    std::ofstream f(rq.defs, std::ios::binary | std::ios::trunc);
    f.write(source.data(), static_cast<std::streamsize>(source.size()));
  } else {
    rq.defs = definitions_of(d);
    rq.name = d.path.empty() ? "UNTITLED" : stem_upper(d.path);
    rq.source = source;
  }
  d.check = run_check(rq, opt_.checkTimeoutMs);
  publish(d);
}

void Server::publish(const Document& d) {
  ch_.write(
      {{"jsonrpc", "2.0"},
       {"method", "textDocument/publishDiagnostics"},
       {"params", {{"uri", d.uri}, {"version", d.version}, {"diagnostics", diagnostics(d)}}}});
}

json Server::range(const Document& d, std::size_t begin, std::size_t end) const {
  const int lb = d.text.line_of(begin), le = d.text.line_of(end);
  const auto col = [&](int line, std::size_t off) {
    const std::size_t start = d.text.line(line).data() - d.text.str().data();
    return d.text.utf16_column(line, off - start);
  };
  return {{"start", {{"line", lb}, {"character", col(lb, begin)}}},
          {"end", {{"line", le}, {"character", col(le, end)}}}};
}

// A whole line without its leading blanks; past the end, the last line.
json Server::line_range(const Document& d, int line) const {
  line = std::clamp(line, 0, d.text.lines() - 1);
  const std::string_view l = d.text.line(line);
  std::size_t first = 0;
  while (first < l.size() && (l[first] == ' ' || l[first] == '\t')) ++first;
  const int end = utf16_length(l);
  return {
      {"start",
       {{"line", line}, {"character", first < l.size() ? utf16_length(l.substr(0, first)) : 0}}},
      {"end", {{"line", line}, {"character", end}}}};
}

json Server::location(const std::string& path, int line) const {
  line = std::max(line, 0);
  return {{"uri", path_to_uri(path)},
          {"range",
           {{"start", {{"line", line}, {"character", 0}}},
            {"end", {{"line", line}, {"character", 0}}}}}};
}

json Server::diagnostics(const Document& d) const {
  json out = json::array();
  const auto add = [&](json range, int severity, const std::string& source,
                       const std::string& message, json code = nullptr) {
    json diag = {{"range", std::move(range)},
                 {"severity", severity},
                 {"source", source},
                 {"message", message}};
    if (!code.is_null()) diag["code"] = std::move(code);
    out.push_back(std::move(diag));
  };

  // Encodings: the buffer holds a character the file cannot, or the file on
  // disk was not code page 932 to begin with.
  for (std::size_t i = 0; i < d.unencodable.size() && i < 20; ++i) {
    const std::size_t at = d.unencodable[i];
    std::size_t n = 1;
    while (at + n < d.text.str().size() &&
           (static_cast<uint8_t>(d.text.str()[at + n]) & 0xC0) == 0x80)
      ++n;
    add(range(d, at, at + n), kError, "mrvls",
        "\"" + d.text.str().substr(at, n) +
            "\" has no code in code page 932: the file cannot hold it (the compiler sees \"?\")");
  }
  if (d.diskInvalid) {
    const std::size_t at = std::min(*d.diskInvalid, d.text.str().size());
    add(range(d, at, std::min(at + 1, d.text.str().size())), kWarning, "mrvls",
        "the file on disk is not valid code page 932 (Shift-JIS) from here on; saving it from "
        "the editor replaces the bytes that do not convert");
  }

  const CheckResult& r = d.check;
  if (!r.failure.empty()) {
    add(line_range(d, 0), kError, "mrvls", r.failure);
    return out;
  }
  const Title title = title_of(d);
  if (!r.defsOk) {
    std::string text;
    for (const Box& b : r.defsBoxes) text += (text.empty() ? "" : "\n") + b.text;
    if (text.empty()) text = "the definition file cannot be read";
    if (d.definitions) {
      add(line_range(d, r.defsLine - 1), kError, "mrvcomp", text);
    } else {
      json diag = {{"range", line_range(d, 0)},
                   {"severity", kError},
                   {"source", "mrvcomp"},
                   {"message", title.definitions() + ": " + text}};
      const std::string defs = title.definitions();
      if (!defs.empty()) {
        diag["relatedInformation"] = {
            {{"location", location(defs, r.defsLine - 1)}, {"message", text}}};
      }
      out.push_back(std::move(diag));
    }
  }
  if (d.definitions) return out;

  if (!r.compiled) {
    if (r.error > 0) {
      add(line_range(d, r.line), kError, "mrvcomp", r.message, r.error);
    } else {
      std::string text;
      for (const Box& b : r.boxes)
        text += (text.empty() ? "" : "\n") + ("[" + b.caption + "] " + b.text);
      add(line_range(d, r.line), kError, "mrvcomp",
          text.empty() ? "the compile failed (no error number)" : text);
    }
    return out;
  }

  // What the engine would only find when it runs the code.
  const std::vector<SourceCall> written = source_calls(d.tokens, d.text);
  std::size_t cursor = 0;
  for (const Call& c : r.calls) {
    json where = line_range(d, c.line);
    for (std::size_t j = cursor; j < written.size(); ++j) {
      const SourceCall& w = written[j];
      if (w.line > c.line + 64) break;
      const std::string lib = w.library.empty() ? "STANDARD" : upper(w.library);
      if (w.line >= c.line && upper(w.command) == c.command && lib == c.library) {
        where = range(d, w.begin, w.end);
        cursor = j + 1;
        break;
      }
    }
    if (c.library == "STANDARD") {
      const standard::Command* cmd = find_command(c.command);
      if (cmd == nullptr) {
        add(where, kWarning, "mrvls",
            "コマンドライブラリ<STANDARD.DLL>で、関数<(MRV_)" + c.command + ">が見つかりません。");
        continue;
      }
      if (!cmd->checkName.empty()) {
        // The argument check the command makes, on the kinds the code shows.
        const std::string name(cmd->checkName);
        const int count = static_cast<int>(c.args.size());
        std::size_t s = 0;
        std::string problem;
        int i = 1;
        for (; i <= count; ++i, ++s) {
          const uint16_t code = s < cmd->signature.size() ? cmd->signature[s] : 0;
          if (code == standard::REST) break;
          if (code == 0) {
            problem = "関数(" + name + ")において引数の数が多すぎます。";
            break;
          }
          const char kind = c.args[i - 1].kind;
          const bool byref = code & SIG_BYREF;
          const uint16_t tag = code & 0xFF;
          char have = kind;
          if (kind == '\\')
            have = byref ? '?' : 'V';  // the referenced value is not known
          else if (byref && kind != '?')
            have = '!';  // a value where a variable must stand
          if (have == '?' || (tag == TYPE_ANY && have != '!')) continue;
          if (have == '!' || static_cast<char>(tag) != have) {
            static const std::map<char, const char*> kNames = {
                {'N', "数値"},   {'R', "領域"}, {'P', "ポインタ"},
                {'S', "文字"},   {'C', "セル"}, {'H', "ハンドル"},
                {'M', "メモリ"}, {'V', "変数"}, {'W', "ウェーブ"}};
            const auto n = kNames.find(static_cast<char>(tag));
            problem = "関数(" + name + ")において、第" + std::to_string(i) + "引数は" +
                      (n == kNames.end() ? "不明" : n->second) + "型でなければなりません。";
            break;
          }
        }
        if (problem.empty() && i > count) {
          const uint16_t next = s < cmd->signature.size() ? cmd->signature[s] : 0;
          if (next != 0 && next != standard::REST)
            problem = "関数(" + name + ")において引数が足りません。";
        }
        if (!problem.empty())
          add(where, kWarning, "mrvls", problem + "  " + command_synopsis(*cmd));
      }
      // The scenario a Gosub or TaskStart names.
      const int nameArg = cmd->id == standard::Cmd::Gosub       ? 1
                          : cmd->id == standard::Cmd::StartTask ? 2
                                                                : 0;
      if (nameArg > 0 && static_cast<int>(c.args.size()) >= nameArg &&
          c.args[nameArg - 1].kind == 'S') {
        const std::string scen = c.args[nameArg - 1].text;
        if (title.scenario(scen).empty()) {
          add(where, kWarning, "mrvls",
              "no scenario \"" + scen + "\": neither " + scen + ".SNB nor " + scen +
                  ".SNA is in the title's folder or the program directory");
        }
      }
      continue;
    }
    const std::string lib = title.library(c.library);
    if (lib.empty()) {
      add(where, kWarning, "mrvls",
          "ライブラリ \"" + c.library + ".so\" が見つかりません。  (no " + c.library +
              ".so, in any case, in the title's folder or the program directory)");
      continue;
    }
    const std::vector<std::string>& cmds = library_commands(lib);
    if (!std::binary_search(cmds.begin(), cmds.end(), c.command)) {
      add(where, kWarning, "mrvls",
          "コマンドライブラリ<" + c.library + ".DLL>で、関数<(MRV_)" + c.command +
              ">が見つかりません。");
    }
  }
  return out;
}

// ---- Requests ----------------------------------------------------------------

namespace {

struct Spot {
  int token = -1;
  std::string word;          // the word under the cursor
  bool call = false;         // followed by "("
  std::string library;       // "LIB" before "LIB:NAME"
  bool libraryName = false;  // the word is the LIB of "LIB:"
  bool sysvar = false;       // "#" stands right before the digits
};

Spot spot_at(const std::vector<Token>& ts, const Text& t, std::size_t off) {
  Spot s;
  s.token = token_at(ts, off);
  if (s.token < 0) return s;
  const Token& k = ts[s.token];
  if (k.kind != Token::Word) return s;
  s.word = t.str().substr(k.begin, k.end - k.begin);
  const std::size_t i = static_cast<std::size_t>(s.token);
  std::size_t n = i + 1;
  while (n < ts.size() && ts[n].kind == Token::Comment) ++n;
  s.call = n < ts.size() && ts[n].kind == Token::Punct && ts[n].ch == '(';
  s.libraryName = n < ts.size() && ts[n].kind == Token::Punct && ts[n].ch == ':';
  if (i >= 2 && ts[i - 1].kind == Token::Punct && ts[i - 1].ch == ':' &&
      ts[i - 2].kind == Token::Word) {
    s.library = t.str().substr(ts[i - 2].begin, ts[i - 2].end - ts[i - 2].begin);
  }
  s.sysvar =
      i >= 1 && ts[i - 1].kind == Token::Punct && ts[i - 1].ch == '#' && ts[i - 1].end == k.begin;
  return s;
}

// The scenario name argument of a Gosub or TaskStart the cursor stands in.
bool scenario_argument(const CallContext& cc) {
  if (!cc.inCall || !cc.library.empty()) return false;
  const standard::Command* c = find_command(cc.command);
  if (c == nullptr) return false;
  return (c->id == standard::Cmd::Gosub && cc.argument == 1) ||
         (c->id == standard::Cmd::StartTask && cc.argument == 2);
}

std::string string_text(const Text& t, const Token& k) {
  std::string s = t.str().substr(k.begin, k.end - k.begin);
  if (!s.empty() && s.front() == '"') s.erase(0, 1);
  if (!s.empty() && s.back() == '"') s.pop_back();
  return s;
}

// The byte offset of the request's position in the document.
std::size_t offset_at(const Text& text, const json& params) {
  const json& pos = params.at("position");
  return text.offset(pos.at("line").get<int>(), pos.at("character").get<int>());
}

// The line (from 0) where the title's definition file defines macro `name`,
// or -1; `defs` receives the file's path.
int macro_line(const Title& title, const std::string& name, std::string* defs) {
  *defs = title.definitions();
  if (defs->empty()) return -1;
  bool ok = false;
  const std::string text = from_cp932(read_file(*defs, kMaxDiskRead, &ok));
  return ok ? definition_line(text, name, "#DEFINE") : -1;
}

}  // namespace

json Server::hover(const json& params) {
  Document& d = doc(params);
  const std::size_t off = offset_at(d.text, params);
  const Spot s = spot_at(d.tokens, d.text, off);
  if (s.token < 0) return nullptr;
  const Token& k = d.tokens[s.token];
  const Title title = title_of(d);
  std::string md;
  if (k.kind == Token::String) {
    if (scenario_argument(call_at(d.tokens, d.text, k.begin))) {
      const std::string name = string_text(d.text, k);
      const std::string file = title.scenario(name);
      md = file.empty() ? "scenario **" + name + "**: no " + name + ".SNB or " + name + ".SNA found"
                        : "scenario **" + name + "**: `" + file + "`";
    }
  } else if (k.kind == Token::Word) {
    if (s.sysvar) {
      char* end = nullptr;
      const long n = std::strtol(s.word.c_str(), &end, 10);
      const std::string role = *end == 0 ? system_variable_role(n) : std::string();
      if (!role.empty()) md = "**#" + std::to_string(n) + "** — " + role;
    } else if (s.call && s.library.empty()) {
      if (const standard::Command* c = find_command(s.word)) {
        md = markdown_code(command_synopsis(*c)) + "\n\n" + std::string(c->arguments) + " → " +
             std::string(c->result) + "\n\n---\n\n" + command_doc(*c);
      } else {
        md = "**" + s.word + "**: not a command of the standard library";
      }
    } else if (s.call) {
      const std::string lib = title.library(s.library);
      md = lib.empty() ? "**" + upper(s.library) + ":" + upper(s.word) + "**: no library " +
                             s.library + ".so"
                       : markdown_code(upper(s.library) + ":" + upper(s.word) + "(...)") +
                             "\n\nexported as `MRV_" + upper(s.word) + "` by `" + lib + "`";
    } else if (s.libraryName) {
      const std::string lib = title.library(s.word);
      md = lib.empty() ? "library **" + upper(s.word) + "**: no " + s.word + ".so found"
                       : "library **" + upper(s.word) + "**: `" + lib + "`, " +
                             std::to_string(library_commands(lib).size()) + " commands";
    } else {
      const std::string name = upper(s.word);
      for (const auto& [mn, mt] : d.check.macros) {
        if (mn != name) continue;
        std::string defs;
        const int line = macro_line(title, name, &defs);
        md = "macro **" + name + "**\n" + markdown_code(mt.empty() ? "(empty)" : mt) + "\n" +
             (line >= 0 ? "defined in `" + defs + "`, line " + std::to_string(line + 1)
                        : "built in");
        break;
      }
      if (md.empty()) {
        for (const auto& [in, file] : d.check.includes) {
          if (in != name) continue;
          const std::string path = title.find(file);
          md = "include **" + name + "**: the text of `" + (path.empty() ? file : path) + "`";
          break;
        }
      }
    }
  }
  if (md.empty()) return nullptr;
  return {{"contents", {{"kind", "markdown"}, {"value", md}}}, {"range", range(d, k.begin, k.end)}};
}

json Server::completion(const json& params) {
  Document& d = doc(params);
  const std::size_t off = offset_at(d.text, params);
  const Title title = title_of(d);
  json items = json::array();
  const auto item = [&](const std::string& label, int kind, const std::string& detail,
                        const std::string& doc = {}) {
    json i = {{"label", label}, {"kind", kind}, {"detail", detail}};
    if (!doc.empty()) i["documentation"] = {{"kind", "markdown"}, {"value", doc}};
    items.push_back(std::move(i));
  };
  // Inside a string: scenario names where a scenario is named, else nothing.
  // The token that holds the character before the cursor (not a word that
  // merely ends there, as after "LIB:").
  int at = -1;
  for (std::size_t i = 0; off > 0 && i < d.tokens.size() && d.tokens[i].begin < off; ++i) {
    if (off - 1 < d.tokens[i].end) at = static_cast<int>(i);
  }
  if (at >= 0 && d.tokens[at].kind == Token::String && off > d.tokens[at].begin &&
      (off < d.tokens[at].end || d.text.str()[d.tokens[at].end - 1] != '"' ||
       d.tokens[at].end - d.tokens[at].begin == 1)) {
    if (scenario_argument(call_at(d.tokens, d.text, d.tokens[at].begin))) {
      for (const std::string& n : title.scenario_names()) item(n, kKindFile, title.scenario(n));
    }
    return {{"isIncomplete", false}, {"items", items}};
  }
  if (at >= 0 && d.tokens[at].kind == Token::Comment)
    return {{"isIncomplete", false}, {"items", items}};
  // After "LIB:": the library's commands.
  int colon = at;
  if (colon >= 0 && d.tokens[colon].kind == Token::Word) --colon;
  if (colon >= 1 && d.tokens[colon].kind == Token::Punct && d.tokens[colon].ch == ':' &&
      d.tokens[colon - 1].kind == Token::Word) {
    const Token& l = d.tokens[colon - 1];
    const std::string libName = d.text.str().substr(l.begin, l.end - l.begin);
    const std::string lib = title.library(libName);
    if (!lib.empty()) {
      for (const std::string& c : library_commands(lib))
        item(c, kKindFunction, upper(libName) + ":" + c + " (" + lib + ")");
    }
    return {{"isIncomplete", false}, {"items", items}};
  }
  for (const standard::Command& c : standard::kCommands) {
    if (c.call.empty()) continue;
    item(std::string(c.call), kKindFunction, command_synopsis(c),
         std::string(c.arguments) + " → " + std::string(c.result));
  }
  for (const std::string& l : title.library_names()) {
    item(l, kKindModule, "command library " + title.library(l));
  }
  for (const auto& [n, t] : d.check.macros) item(n, kKindConstant, t.empty() ? "(empty)" : t);
  for (const auto& [n, f] : d.check.includes) item(n, kKindFile, "include " + f);
  return {{"isIncomplete", false}, {"items", items}};
}

json Server::definition(const json& params) {
  Document& d = doc(params);
  const std::size_t off = offset_at(d.text, params);
  const Spot s = spot_at(d.tokens, d.text, off);
  if (s.token < 0) return nullptr;
  const Token& k = d.tokens[s.token];
  const Title title = title_of(d);
  if (k.kind == Token::String) {
    if (!scenario_argument(call_at(d.tokens, d.text, k.begin))) return nullptr;
    const std::string file = title.scenario(string_text(d.text, k), true);
    return file.empty() ? json(nullptr) : location(file, 0);
  }
  if (k.kind != Token::Word || s.call || s.sysvar) return nullptr;
  if (s.libraryName) {
    const std::string lib = title.library(s.word);
    return lib.empty() ? json(nullptr) : location(lib, 0);
  }
  const std::string name = upper(s.word);
  for (const auto& [n, f] : d.check.includes) {
    if (n != name) continue;
    const std::string path = title.find(f);
    if (!path.empty()) return location(path, 0);
  }
  for (const auto& [n, t] : d.check.macros) {
    if (n != name) continue;
    std::string defs;
    const int line = macro_line(title, name, &defs);
    if (line >= 0) return location(defs, line);
  }
  return nullptr;
}

json Server::symbols(const json& params) {
  Document& d = doc(params);
  if (d.definitions) {
    // A definition file's outline: its macros and include names, at their lines.
    json out = json::array();
    const auto add = [&](const auto& table, const char* command, int kind) {
      for (const auto& [name, text] : table) {
        const int line = definition_line(d.text.str(), name, command);
        if (line < 0) continue;
        const json r = line_range(d, line);
        out.push_back({{"name", name},
                       {"detail", text},
                       {"kind", kind},
                       {"range", r},
                       {"selectionRange", r}});
      }
    };
    add(d.check.macros, "#DEFINE", kSymbolConstant);
    add(d.check.includes, "#INCLUDE", kSymbolFile);
    std::sort(out.begin(), out.end(), [](const json& a, const json& b) {
      return a["range"]["start"]["line"] < b["range"]["start"]["line"];
    });
    return out;
  }
  const std::function<json(const std::vector<Block>&)> list = [&](const std::vector<Block>& bs) {
    json out = json::array();
    for (const Block& b : bs) {
      out.push_back({{"name", b.name},
                     {"kind", b.name == "ELSE" ? kSymbolNamespace : kSymbolFunction},
                     {"range", range(d, b.begin, b.end)},
                     {"selectionRange", range(d, b.begin, b.nameEnd)},
                     {"children", list(b.children)}});
    }
    return out;
  };
  return list(blocks(d.tokens, d.text));
}

}  // namespace mrvls
