#include "cli/Terminal.h"

#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <iostream>

namespace fuel::cli {
namespace {

volatile std::sig_atomic_t interrupted = 0;

extern "C" void OnInterrupt(int) { interrupted = 1; }

struct sigaction previousAction;

}  // namespace

bool IsTerminal(const std::ostream& out) {
    return &out == &std::cout && isatty(STDOUT_FILENO) == 1;
}

bool IsTerminalInput(const std::istream& in) {
    return &in == &std::cin && isatty(STDIN_FILENO) == 1;
}

InterruptGuard::InterruptGuard() {
    interrupted = 0;
    struct sigaction action {};
    action.sa_handler = &OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previousAction);
}

InterruptGuard::~InterruptGuard() { sigaction(SIGINT, &previousAction, nullptr); }

bool InterruptGuard::Interrupted() { return interrupted != 0; }

}  // namespace fuel::cli
