#include "UserCommand.h"

#include "Passwords.h"
#include "ServerOptions.h"
#include "Store.h"
#include "WireFormat.h"

#include <filesystem>
#include <iostream>
#include <optional>
#include <set>
#include <stdexcept>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace server::UserCommand {

namespace {

struct Invocation
{
    std::string action;
    std::vector<std::string> operands;
    std::optional<std::string> name;
    std::string dataDir;
};

Invocation parse(const std::vector<std::string>& arguments)
{
    Invocation invocation;
    invocation.dataDir = ServerOptions::defaultDataDir();
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= arguments.size()) {
                throw std::invalid_argument(argument + " needs a value.");
            }
            return arguments[++i];
        };
        if (argument == "--data-dir") {
            invocation.dataDir = value();
        } else if (argument == "--name") {
            invocation.name = value();
        } else if (argument.starts_with("--")) {
            throw std::invalid_argument("Unknown option " + argument + ". See tallisen-server user --help.");
        } else if (invocation.action.empty()) {
            invocation.action = argument;
        } else {
            invocation.operands.push_back(argument);
        }
    }
    return invocation;
}

// Echo off while a person types; a line as it comes from a pipe.
std::string readPassword(std::istream& input, std::ostream& output, const std::string& prompt)
{
    const bool terminal = &input == &std::cin && ::isatty(STDIN_FILENO);
    termios saved {};
    if (terminal) {
        output << prompt << std::flush;
        ::tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string password;
    const bool read = static_cast<bool>(std::getline(input, password));
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        output << '\n';
    }
    if (!read) {
        throw std::runtime_error("No password was given on standard input.");
    }
    if (!password.empty() && password.back() == '\r') {
        password.pop_back();
    }
    if (terminal && readPassword(input, output, "Again: ") != password) {
        throw std::runtime_error("The two passwords differ; nothing was changed.");
    }
    return password;
}

std::string newPasswordHash(std::istream& input, std::ostream& output)
{
    const std::string password = readPassword(input, output, "Password: ");
    Passwords::checkStrength(password);
    return Passwords::hash(password);
}

std::string email(const Invocation& invocation)
{
    if (invocation.operands.empty()) {
        throw std::invalid_argument("Name the user by e-mail address. See tallisen-server user --help.");
    }
    const std::string address = WireFormat::lowerCase(invocation.operands.front());
    if (!WireFormat::isPlausibleEmail(address)) {
        throw std::invalid_argument(invocation.operands.front() + " is not an e-mail address.");
    }
    return address;
}

Store openStore(const std::string& dataDir)
{
    ::umask(077);
    std::filesystem::create_directories(dataDir);
    ::chmod(dataDir.c_str(), 0700);
    return Store(dataDir + "/tallisen.sqlite3");
}

[[noreturn]] void refuse(const std::string& sentence)
{
    throw std::runtime_error(sentence);
}

void perform(const Invocation& invocation, std::istream& input, std::ostream& output)
{
    const std::string& action = invocation.action;
    static const std::set<std::string> kActions { "add", "allow", "disallow", "list", "password", "remove",
        "tokens", "revoke" };
    if (!kActions.contains(action)) {
        throw std::invalid_argument("Unknown action " + action + ". See tallisen-server user --help.");
    }
    if (action == "list") {
        Store store = openStore(invocation.dataDir);
        for (const auto& user : store.users()) {
            output << user.account.email << '\t' << user.account.displayName << '\t'
                   << (user.hasPassword ? "password" : "no password") << '\t' << user.tokens << " tokens\t"
                   << user.recordings << " transcripts\tsince " << WireFormat::formatDate(user.createdAtMs)
                   << '\n';
        }
        return;
    }
    const std::string address = email(invocation);
    if (action == "add") {
        const std::string name = invocation.name.value_or(address.substr(0, address.find('@')));
        if (name.empty() || name.size() > 100 || !WireFormat::isValidUtf8(name)) {
            throw std::invalid_argument("Give a name of 1 to 100 characters with --name.");
        }
        Store store = openStore(invocation.dataDir);
        if (store.credentials(address)) {
            refuse(address + " already has an account; use user password to set a new password.");
        }
        store.addUser(address, name, newPasswordHash(input, output));
        output << "Added " << address << ".\n";
        return;
    }
    Store store = openStore(invocation.dataDir);
    if (!store.credentials(address)) {
        refuse("There is no user " + address + ".");
    }
    if (action == "remove") {
        store.removeUser(address);
        output << "Removed " << address << " with its transcripts and sign-ins.\n";
    } else if (action == "password") {
        store.setPassword(address, newPasswordHash(input, output));
        // A new password is usually a reaction to a leak: every signed-in app signs in again.
        output << "Password changed; " << store.revokeTokens(address, std::nullopt) << " sign-ins ended.\n";
    } else if (action == "allow" || action == "disallow") {
        if (invocation.operands.size() != 2 || !WireFormat::isPlausibleEmail(invocation.operands[1])) {
            throw std::invalid_argument(
                "Give the account and the address: user " + action + " EMAIL ADDRESS.");
        }
        const std::string recipient = WireFormat::lowerCase(invocation.operands[1]);
        store.allowRecipient(address, recipient, action == "allow");
        output << (action == "allow"
                ? "Transcripts of " + address + " may now be e-mailed to " + recipient
                : "Transcripts of " + address + " are no longer e-mailed to " + recipient)
               << ".\n";
    } else if (action == "tokens") {
        for (const auto& token : store.tokens(address)) {
            output << token.id << "\tissued " << WireFormat::formatDate(token.createdAtMs) << "\tlast used "
                   << WireFormat::formatDate(token.lastUsedAtMs) << '\n';
        }
    } else {
        const std::optional<std::string> id
            = invocation.operands.size() > 1 ? std::optional(invocation.operands[1]) : std::nullopt;
        const auto revoked = store.revokeTokens(address, id);
        if (id && revoked == 0) {
            refuse(address + " has no token " + *id + "; see user tokens.");
        }
        output << "Revoked " << revoked << " tokens.\n";
    }
}

} // namespace

int run(const std::vector<std::string>& arguments, std::istream& input, std::ostream& output,
    std::ostream& errors)
{
    try {
        const Invocation invocation = parse(arguments);
        if (invocation.action.empty() || invocation.action == "help" || arguments.front() == "--help") {
            output << usage();
            return invocation.action.empty() && arguments.empty() ? 2 : 0;
        }
        perform(invocation, input, output);
        return 0;
    } catch (const std::invalid_argument& error) {
        errors << "tallisen-server: " << error.what() << '\n';
        return 2;
    } catch (const std::exception& error) {
        errors << "tallisen-server: " << error.what() << '\n';
        return 1;
    }
}

std::string usage()
{
    return R"(Usage: tallisen-server user ACTION [EMAIL] [options]

Who may sign in to this server. Passwords are read from standard input
(asked twice, without echo, at a terminal) and kept only as scrypt hashes.

  add EMAIL [--name NAME]   Create an account with a password.
  list                      Every account, with its tokens and transcripts.
  password EMAIL            Set a new password; every sign-in of the account ends.
  remove EMAIL              Delete the account with its transcripts.
  tokens EMAIL              The account's sign-ins (tokens), by id.
  revoke EMAIL [ID]         End one sign-in, or all of them.
  allow EMAIL ADDRESS       Let the account's transcripts be e-mailed to ADDRESS too
                            (its own address is always allowed).
  disallow EMAIL ADDRESS    Take that back.

  --data-dir DIR            The server's data folder (default $XDG_DATA_HOME/tallisen-server).
)";
}

} // namespace server::UserCommand
