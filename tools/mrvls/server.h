// The language server: documents, their checks, and the answers to the
// editor's requests.
#pragma once
#include <map>
#include <optional>
#include <string>

#include "check.h"
#include "protocol.h"
#include "scan.h"
#include "text.h"

namespace mrvls {

struct Options {
  std::string programDir;  // the engine's program directory
  std::string scratch;     // a private directory for the checks' files
  int checkTimeoutMs = 10000;
};

class Server {
 public:
  Server(Channel& channel, Options options) : ch_(channel), opt_(std::move(options)) {}
  // Serves until "exit" or the end of input; returns the exit status.
  int run();

 private:
  struct Document {
    std::string uri, path;  // path empty: not a file
    int version = 0;
    Text text;
    bool definitions = false;                // a definition file, not a scenario
    std::optional<std::size_t> diskInvalid;  // the file on disk is not code page 932 there
    std::vector<std::size_t> unencodable;    // characters code page 932 cannot hold
    CheckResult check;
    std::vector<Token> tokens;
  };

  void handle(const json& msg);
  json request(const std::string& method, const json& params);
  void notification(const std::string& method, const json& params);

  void open(const json& params);
  void change(const json& params);
  void save(const json& params);
  void recheck(Document& d);
  void publish(const Document& d);
  json diagnostics(const Document& d) const;

  json hover(const json& params);
  json completion(const json& params);
  json definition(const json& params);
  json symbols(const json& params);

  Document& doc(const json& params);
  class Title title_of(const Document& d) const;
  std::string definitions_of(const Document& d) const;
  json range(const Document& d, std::size_t begin, std::size_t end) const;
  json line_range(const Document& d, int line) const;
  json location(const std::string& path, int line) const;
  void respond(const json& id, json result);
  void fail(const json& id, int code, const std::string& message);

  Channel& ch_;
  Options opt_;
  std::map<std::string, Document> docs_;
  bool initialized_ = false, shutdown_ = false, exit_ = false;
};

std::string uri_to_path(const std::string& uri);
std::string path_to_uri(const std::string& path);

}  // namespace mrvls
