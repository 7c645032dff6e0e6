// Helpers shared by the platform's own sources (not exported).
#pragma once
#include <functional>
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

// The thread that started the graphical backend becomes the video thread:
// it owns the display, shows the windows and every box.
void claim_video_thread();
// Runs `fn` on the video thread, as a send to it is served there (its
// peek_message, wait_message and serve_sends_for), and waits for it. The
// caller runs it itself when there is no video thread or it is the video
// thread; kGone: the video thread ended before it could run it.
enum class VideoCall { kDone, kCallerRuns, kGone };
VideoCall call_on_video_thread(std::function<void()> fn);

}  // namespace plat
