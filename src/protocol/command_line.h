#pragma once

#include <optional>
#include <span>
#include <string>

namespace zarvi {

// What --help prints: the commands, the PCM, the event lines and the switches, in a screenful.
std::string usageText();

// The arguments after the program's name. With none, nullopt: the tool serves its protocol. Otherwise
// it answers --help or --version on stdout (exit status 0), or any other argument with a one-line
// error and the usage on stderr (exit status 2), and returns that status.
std::optional<int> answerArguments(std::span<const char* const> arguments);

}  // namespace zarvi
