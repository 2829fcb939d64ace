#pragma once

#include <iosfwd>
#include <string>
#include <vector>

// `tallisen-server user ...`: the owner's tool for who may sign in. It works on
// the data folder directly, with or without the server running.
namespace server::UserCommand {

// Returns the exit status: 0 done, 1 refused (the reason on `errors`), 2 bad usage.
int run(const std::vector<std::string>& arguments, std::istream& input, std::ostream& output,
    std::ostream& errors);

std::string usage();

} // namespace server::UserCommand
