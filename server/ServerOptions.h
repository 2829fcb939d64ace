#pragma once

#include <optional>
#include <string>
#include <vector>

// Command-line configuration. Flags win over the environment; everything has a default.
namespace server {

struct ServerOptions
{
    std::string host = "127.0.0.1";
    int port = 8080;
    std::string dataDir;
    std::optional<std::string> tlsCert;
    std::optional<std::string> tlsKey;
    bool selfSigned = false;
    std::optional<std::string> publicUrl;
    std::string engine = "pocketsphinx";
    std::string openAiBaseUrl;
    std::string openAiApiKey;
    std::string openAiModel = "whisper-1";
    std::optional<std::string> signInAs;
    // The owner's OpenID Connect provider, offered on the sign-in page beside passwords.
    std::optional<std::string> oidcIssuer;
    std::string oidcClientId;
    std::string oidcClientSecret;
    int tokenIdleDays = 30;
    int quotaMegabytes = 1000;
    int threads = 32;
    bool help = false;
    bool version = false;

    // Throws std::invalid_argument with a sentence naming the bad flag.
    static ServerOptions parse(const std::vector<std::string>& arguments);
    static std::string usage();
    // $XDG_DATA_HOME/tallisen-server, or its usual place under $HOME.
    static std::string defaultDataDir();

    bool usesTls() const { return selfSigned || tlsCert.has_value(); }
};

// True when every address the host resolves to is a loopback one.
bool isLoopbackHost(const std::string& host);
bool isLoopbackUrl(const std::string& url);
// The host a URL names, without brackets; none when it hides one behind user information.
std::optional<std::string> hostOfUrl(const std::string& url);

} // namespace server
