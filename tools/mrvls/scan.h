// The tokens of a source as an editor needs them: words, strings, comments
// and punctuation with their places. It only finds where things stand (the
// word under the cursor, the call an argument belongs to, the blocks); what
// the text means is left to the compiler.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "text.h"

namespace mrvls {

struct Token {
  enum Kind { Word, String, Comment, Punct, Other } kind;
  std::size_t begin, end;  // byte offsets in the text
  int line;
  char ch = 0;  // a Punct's character
};

std::vector<Token> tokenize(const Text& text);

// The call around a position: the innermost open "NAME(" or "LIB:NAME(".
struct CallContext {
  bool inCall = false;
  std::string library, command;  // as written
  int argument = 0;              // from 1
};
CallContext call_at(const std::vector<Token>& tokens, const Text& text, std::size_t offset);

// The token that holds `offset` (or ends at it, for a word), or -1.
int token_at(const std::vector<Token>& tokens, std::size_t offset);

// A block of the outline: a command with a block, an ELSE block, a bare
// block; children nested.
struct Block {
  std::string name;
  std::size_t begin, nameEnd, end;  // the call's first byte, its name's end, after '}'
  std::vector<Block> children;
};
std::vector<Block> blocks(const std::vector<Token>& tokens, const Text& text);

// A call written in the source: [LIB ':'] NAME '('.
struct SourceCall {
  std::size_t begin, end;  // the whole name, prefix included
  int line;
  std::string library, command;
};
std::vector<SourceCall> source_calls(const std::vector<Token>& tokens, const Text& text);

}  // namespace mrvls
