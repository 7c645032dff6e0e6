// How records look to a person: UTF-8 lines, the statement trace indented by
// block depth, file changes and debug lines set apart, variable listings as
// a table.
#pragma once
#include <string>

namespace mrvtrace {

// Terminal colours (ANSI) or none.
struct Look {
  bool colour = false;
};

// The line (UTF-8, without a newline) that shows a record of the tracer or
// of the viewer; `record` is its text up to the NUL, code page 932.
std::string show_tracer(const std::string& record, Look look);
std::string show_viewer(const std::string& record, Look look);

// The record's line without its "%d " tag (code page 932 as it came).
std::string line_of(const std::string& record);

// Columns a UTF-8 text takes on a terminal (East Asian wide characters two).
std::size_t columns(const std::string& utf8);

}  // namespace mrvtrace
