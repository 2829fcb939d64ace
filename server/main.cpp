#include "ServerOptions.h"
#include "TallisenServer.h"
#include "UserCommand.h"

#include <csignal>
#include <iostream>

namespace {

server::TallisenServer* g_server = nullptr;

void stopOnSignal(int)
{
    if (g_server) {
        g_server->stop();
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    if (!arguments.empty() && arguments.front() == "user") {
        return server::UserCommand::run(
            { arguments.begin() + 1, arguments.end() }, std::cin, std::cout, std::cerr);
    }
    server::ServerOptions options;
    try {
        options = server::ServerOptions::parse(arguments);
    } catch (const std::invalid_argument& error) {
        std::cerr << "tallisen-server: " << error.what() << '\n';
        return 2;
    }
    if (options.version) {
        std::cout << "tallisen-server " << TALLISEN_VERSION << '\n';
        return 0;
    }
    if (options.help) {
        std::cout << server::ServerOptions::usage();
        return 0;
    }
    try {
        server::TallisenServer tallisen(options);
        const int port = tallisen.bind();
        g_server = &tallisen;
        std::signal(SIGINT, stopOnSignal);
        std::signal(SIGTERM, stopOnSignal);
        std::signal(SIGPIPE, SIG_IGN);
        if (const auto ca = tallisen.caCertificatePath()) {
            std::cout << "CA certificate: " << *ca << '\n';
        }
        // Behind a proxy the public address names another port; say which one is ours.
        if (options.publicUrl) {
            std::cout << "Bound to " << options.host << ":" << port << '\n';
        }
        std::cout << "Listening on " << tallisen.publicUrl() << std::endl;
        const bool served = tallisen.run();
        g_server = nullptr;
        return served ? 0 : 1;
    } catch (const std::exception& error) {
        std::cerr << "tallisen-server: " << error.what() << '\n';
        return 1;
    }
}
