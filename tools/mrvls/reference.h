// What the server knows about the language without a title: the standard
// library's commands (the command table the library itself checks its
// arguments against, and the command reference's text on each) and the
// roles of the system variables.
#pragma once
#include <string>
#include <string_view>

#include "commands.h"

namespace mrvls {

// The standard command a scenario calls as `name` (any case), or nullptr.
// Commands that cannot be called (their export is not upper case) are not
// found this way.
const standard::Command* find_command(std::string_view name);

// The reference's section on a command (Markdown, without its heading);
// empty when the reference has none.
std::string command_doc(const standard::Command& c);

// "Wait(N) -> NULL": how a call is written, with the signature codes.
std::string command_synopsis(const standard::Command& c);

// The role of system variable #n, or empty.
std::string system_variable_role(long n);

// The command reference (docs/commands.md), built in.
extern const char* const kCommandReference;

}  // namespace mrvls
