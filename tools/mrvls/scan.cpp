#include "scan.h"

#include <cctype>

namespace mrvls {

namespace {

bool is_word(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

std::string slice(const Text& t, const Token& k) {
  return t.str().substr(k.begin, k.end - k.begin);
}

bool is_punct(const std::vector<Token>& ts, std::size_t i, char c) {
  return i < ts.size() && ts[i].kind == Token::Punct && ts[i].ch == c;
}

// Index of the code token before i, or npos.
std::size_t prev_code(const std::vector<Token>& ts, std::size_t i) {
  while (i > 0) {
    --i;
    if (ts[i].kind != Token::Comment) return i;
  }
  return static_cast<std::size_t>(-1);
}

// For a '(' at i: the name before it, as [LIB ':'] NAME; false if none.
bool name_before(const std::vector<Token>& ts, const Text& t, std::size_t i, std::string* lib,
                 std::string* cmd, std::size_t* begin) {
  const std::size_t n = prev_code(ts, i);
  if (n == static_cast<std::size_t>(-1) || ts[n].kind != Token::Word) return false;
  *cmd = slice(t, ts[n]);
  lib->clear();
  *begin = ts[n].begin;
  const std::size_t colon = prev_code(ts, n);
  if (colon != static_cast<std::size_t>(-1) && is_punct(ts, colon, ':')) {
    const std::size_t l = prev_code(ts, colon);
    if (l != static_cast<std::size_t>(-1) && ts[l].kind == Token::Word) {
      *lib = slice(t, ts[l]);
      *begin = ts[l].begin;
    }
  }
  return true;
}

}  // namespace

std::vector<Token> tokenize(const Text& text) {
  const std::string& s = text.str();
  std::vector<Token> out;
  int line = 0;
  std::size_t i = 0;
  while (i < s.size()) {
    const char c = s[i];
    if (c == '\n') {
      ++line;
      ++i;
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
      continue;
    }
    const std::size_t b = i;
    if (c == '/' && i + 1 < s.size() && s[i + 1] == '/') {
      while (i < s.size() && s[i] != '\n' && s[i] != '\r') ++i;
      out.push_back({Token::Comment, b, i, line});
    } else if (c == '"') {
      // A string cannot hold a line feed; an open one ends with its line.
      ++i;
      while (i < s.size() && s[i] != '"' && s[i] != '\n') ++i;
      if (i < s.size() && s[i] == '"') ++i;
      out.push_back({Token::String, b, i, line});
    } else if (is_word(c) || c == '.') {
      while (i < s.size() && (is_word(s[i]) || s[i] == '.')) ++i;
      out.push_back({Token::Word, b, i, line});
    } else if (static_cast<unsigned char>(c) < 0x80) {
      ++i;
      out.push_back({Token::Punct, b, i, line, c});
    } else {
      while (i < s.size() && static_cast<unsigned char>(s[i]) >= 0x80) ++i;
      out.push_back({Token::Other, b, i, line});
    }
  }
  return out;
}

int token_at(const std::vector<Token>& ts, std::size_t offset) {
  for (std::size_t i = 0; i < ts.size(); ++i) {
    if (ts[i].begin > offset) break;
    if (offset < ts[i].end || (offset == ts[i].end && ts[i].kind == Token::Word))
      return static_cast<int>(i);
  }
  return -1;
}

CallContext call_at(const std::vector<Token>& ts, const Text& t, std::size_t offset) {
  struct Open {
    bool call;
    std::string lib, cmd;
    int arg;
  };
  std::vector<Open> stack;
  for (std::size_t i = 0; i < ts.size() && ts[i].begin < offset; ++i) {
    if (ts[i].kind != Token::Punct) continue;
    const char c = ts[i].ch;
    if (c == '(') {
      Open o{false, {}, {}, 1};
      std::size_t begin = 0;
      o.call = name_before(ts, t, i, &o.lib, &o.cmd, &begin);
      stack.push_back(o);
    } else if (c == '[') {
      stack.push_back({false, {}, {}, 1});
    } else if ((c == ')' || c == ']') && !stack.empty()) {
      stack.pop_back();
    } else if (c == ',' && !stack.empty()) {
      ++stack.back().arg;
    } else if ((c == ';' || c == '{' || c == '}')) {
      stack.clear();  // statements and blocks end every open argument list
    }
  }
  CallContext cc;
  if (!stack.empty() && stack.back().call) {
    cc.inCall = true;
    cc.library = stack.back().lib;
    cc.command = stack.back().cmd;
    cc.argument = stack.back().arg;
  }
  return cc;
}

std::vector<SourceCall> source_calls(const std::vector<Token>& ts, const Text& t) {
  std::vector<SourceCall> out;
  for (std::size_t i = 0; i < ts.size(); ++i) {
    if (!is_punct(ts, i, '(')) continue;
    SourceCall c;
    if (!name_before(ts, t, i, &c.library, &c.command, &c.begin)) continue;
    const std::size_t n = prev_code(ts, i);
    c.end = ts[n].end;
    c.line = ts[n].line;
    out.push_back(std::move(c));
  }
  return out;
}

std::vector<Block> blocks(const std::vector<Token>& ts, const Text& t) {
  std::vector<Block> top;
  std::vector<Block> open;
  std::vector<std::size_t> parens;  // indices of open '('
  std::size_t lastCallParen = static_cast<std::size_t>(-1);
  std::size_t lastCloseAt = static_cast<std::size_t>(-1);
  auto close = [&](std::size_t end) {
    Block b = std::move(open.back());
    open.pop_back();
    b.end = end;
    (open.empty() ? top : open.back().children).push_back(std::move(b));
  };
  for (std::size_t i = 0; i < ts.size(); ++i) {
    const Token& k = ts[i];
    if (k.kind != Token::Punct) continue;
    if (k.ch == '(') {
      parens.push_back(i);
    } else if (k.ch == ')') {
      if (!parens.empty()) {
        lastCallParen = parens.back();
        parens.pop_back();
      }
      lastCloseAt = i;
    } else if (k.ch == '{') {
      Block b;
      const std::size_t p = prev_code(ts, i);
      std::string lib, cmd;
      std::size_t begin = k.begin;
      if (p != static_cast<std::size_t>(-1) && p == lastCloseAt &&
          lastCallParen != static_cast<std::size_t>(-1) &&
          name_before(ts, t, lastCallParen, &lib, &cmd, &begin)) {
        // The call's text, blanks folded, as the outline's name.
        std::string name;
        for (std::size_t j = begin; j < ts[p].end; ++j) {
          const char c = t.str()[j];
          const bool blank = c == ' ' || c == '\t' || c == '\r' || c == '\n';
          if (blank) {
            if (!name.empty() && name.back() != ' ') name += ' ';
          } else {
            name += c;
          }
        }
        if (name.size() > 80) name = name.substr(0, 77) + "...";
        b.name = name;
        b.nameEnd = ts[prev_code(ts, lastCallParen)].end;
      } else if (p != static_cast<std::size_t>(-1) && ts[p].kind == Token::Word) {
        std::string w = slice(t, ts[p]);
        for (char& c : w) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        b.name = w == "ELSE" ? "ELSE" : slice(t, ts[p]);
        begin = ts[p].begin;
        b.nameEnd = ts[p].end;
      } else {
        b.name = "{ }";
        b.nameEnd = k.end;
      }
      b.begin = begin;
      open.push_back(std::move(b));
      parens.clear();
    } else if (k.ch == '}') {
      if (!open.empty()) close(k.end);
      parens.clear();
    } else if (k.ch == ';') {
      parens.clear();
    }
  }
  while (!open.empty()) close(t.str().size());
  return top;
}

}  // namespace mrvls
