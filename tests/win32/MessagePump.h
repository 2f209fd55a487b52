// Waiting for a helper thread that works this thread's windows. The helper sends them
// messages (WM_GETTEXT for every visible window it looks at), which only a thread that looks
// at its message queue answers; a plain join() leaves such a message, sent while a dialog
// was still closing, unanswered, and both threads wait for ever.
#pragma once

#include <atomic>
#include <thread>

namespace fuel::test::win32 {

// Answers the messages sent to this thread's windows until done is set, then joins helper.
// Posted messages stay queued.
void JoinAnswering(std::thread& helper, const std::atomic<bool>& done);

}  // namespace fuel::test::win32
