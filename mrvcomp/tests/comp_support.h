// Helpers of the compiler tests: compiling a source held in a string, and a
// small builder that lays down command-call records by the layout rules.
#pragma once
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "mrvcomp.h"
#include "mrvtask.h"
#include "platform/text.h"

namespace comptest {

using Bytes = std::vector<uint8_t>;

inline Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline Bytes Le32(uint32_t v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}
inline Bytes Text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// A command-call record: head, names, argument code (TOK_END alone without
// arguments, else each argument followed by TOK_END), blocks.
inline Bytes Call(const std::string& library, const std::string& command,
                  const std::vector<Bytes>& args, const std::optional<Bytes>& block = {},
                  const std::optional<Bytes>& elseBlock = {}) {
  Bytes names = Text(library) + Bytes{0} + Text(command) + Bytes{0};
  Bytes argCode;
  if (args.empty()) argCode = {TOK_END};
  for (const Bytes& a : args) argCode = argCode + a + Bytes{TOK_END};
  const uint32_t libAt = 29;
  const uint32_t cmdAt = libAt + uint32_t(library.size()) + 1;
  const uint32_t argsAt = 29 + uint32_t(names.size());
  uint32_t at = argsAt + uint32_t(argCode.size());
  uint32_t blockAt = 0, elseAt = 0;
  Bytes tail;
  if (block) {
    blockAt = at;
    tail = *block;
    at += uint32_t(block->size());
  }
  if (elseBlock) {
    elseAt = at;
    tail = tail + *elseBlock;
    at += uint32_t(elseBlock->size());
  }
  return Bytes{TOK_CALL} + Le32(libAt) + Le32(cmdAt) + Le32(argsAt) + Le32(uint32_t(args.size())) +
         Le32(blockAt) + Le32(elseAt) + Le32(at) + names + argCode + tail;
}
inline Bytes Std(const std::string& command, const std::vector<Bytes>& args,
                 const std::optional<Bytes>& block = {},
                 const std::optional<Bytes>& elseBlock = {}) {
  return Call("STANDARD", command, args, block, elseBlock);
}

// A request whose source block holds `text`, 0x1A and 0, as a file read with
// its end mark gives it.
struct Request {
  CompileRequest req{};
  explicit Request(const std::string& text, int32_t firstLine = 0, const char* name = "TEST") {
    std::strncpy(req.name, name, sizeof req.name - 1);
    req.firstLine = firstLine;
    req.sourceSize = uint32_t(text.size() + 2);
    req.source = static_cast<char*>(MRVTASK_AllocMemory(0, req.sourceSize));
    std::memcpy(req.source, text.data(), text.size());
    req.source[text.size()] = 0x1A;
  }
  ~Request() {
    MRVTASK_FreeMemory(0, req.output);
    if (req.source != req.output) MRVTASK_FreeMemory(0, req.source);
  }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  Bytes Code() const {
    return Bytes(reinterpret_cast<const uint8_t*>(req.output),
                 reinterpret_cast<const uint8_t*>(req.outputPos));
  }
  // The text a pass left in output, up to its terminating 0.
  std::string OutputText() const { return std::string(req.output); }
};

// Result of a whole compile.
struct Compiled {
  int32_t ok;
  Bytes code;
  int32_t error, line, pass;
  std::string message;  // MRVCOMP_MakeErrorMessage, in UTF-8
};

inline Compiled Compile(const std::string& text, int32_t firstLine = 0, const char* name = "TEST") {
  Request r(text, firstLine, name);
  Compiled c{};
  c.ok = MRVCOMP_Comp(&r.req);
  if (c.ok) c.code = r.Code();
  c.error = MRVCOMP_GetError();
  c.line = MRVCOMP_GetLine();
  char buf[600];
  MRVCOMP_MakeErrorMessage(&r.req, buf);
  c.message = plat::cp932_to_utf8(buf);
  const std::string prefix = std::string(name) + ":PASS(";
  c.pass = c.message.compare(0, prefix.size(), prefix) == 0 ? c.message[prefix.size()] - '0' : 0;
  return c;
}

}  // namespace comptest
