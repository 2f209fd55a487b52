// The program's help, made from the command table: the program's (its commands and the line
// options), and each command's and subcommand's (its usage, what it does, the options it
// takes). The bash completion and the manual page's test read these texts.
#pragma once

#include <iosfwd>

#include "cli/Commands.h"

namespace fuel::cli {

void PrintProgramHelp(std::ostream& out);
// parent: the command whose subcommand `command` is, else null.
void PrintCommandHelp(std::ostream& out, const Command& command, const Command* parent);

}  // namespace fuel::cli
