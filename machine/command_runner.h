#pragma once

#include <string>
#include <vector>

namespace vesk {

// One outside command as an argument vector: the program name (looked up in
// PATH) followed by its arguments. No shell ever reads it.
using CommandLine = std::vector<std::string>;

// An outside program's standard streams. Only a program the operator works
// in (the editor) gets the terminal's input: any other reads /dev/null, so
// nothing typed ahead at the console (a PIN) ever reaches it.
enum class CommandOutput {
  kInherit,   // input from /dev/null, output and errors to the console's
  kDiscard,   // all three to /dev/null
  kTerminal,  // all three the console's
};

// Runs `command` as a child process, without a shell, to completion and
// returns its exit status: 127 when it cannot be started, 128 + n when
// signal n ended it. Like system(), it ignores SIGINT and SIGQUIT while it
// waits, so a Ctrl-C at the editor ends the editor, not the console.
int run_process(const CommandLine& command, CommandOutput output);

}  // namespace vesk
