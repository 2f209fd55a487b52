#include "tests/win32/MessagePump.h"

#include <windows.h>

namespace fuel::test::win32 {

void JoinAnswering(std::thread& helper, const std::atomic<bool>& done) {
    while (!done.load()) {
        MSG message{};
        // Peeking with this filter runs the sent messages' window procedures.
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_SENDMESSAGE);
    }
    helper.join();
}

}  // namespace fuel::test::win32
