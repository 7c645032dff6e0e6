// Helpers shared by the platform's own sources (not exported).
#pragma once
#include <string>

namespace plat {

// Case-blind equality of two code page 932 names (ASCII letters fold, the
// bytes of double-byte characters must match).
bool name_equal_nocase(const std::string& a, const std::string& b);
// Full path of the running program.
std::string program_path();
// Creates a directory and its missing parents; true when it exists after.
bool make_dirs(const std::string& path);
// Ends the calling thread's message queue: its windows go, sends waiting for
// it give 0, and it gets no queue again. Runs once; later calls do nothing.
void end_thread_queue();

}  // namespace plat
