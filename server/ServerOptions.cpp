#include "ServerOptions.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <netdb.h>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/stat.h>

namespace server {

namespace {

std::string environment(const char* name, const std::string& fallback = {})
{
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

} // namespace

std::string ServerOptions::defaultDataDir()
{
    const std::string dataHome = environment("XDG_DATA_HOME");
    if (!dataHome.empty()) {
        return dataHome + "/tallisen-server";
    }
    return environment("HOME", ".") + "/.local/share/tallisen-server";
}

namespace {

void parseListen(const std::string& value, ServerOptions& options)
{
    const auto colon = value.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        throw std::invalid_argument("--listen needs HOST:PORT, for example 127.0.0.1:8080.");
    }
    std::string host = value.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    const std::string portText = value.substr(colon + 1);
    char* end = nullptr;
    const long port = std::strtol(portText.c_str(), &end, 10);
    if (portText.empty() || *end != '\0' || port < 0 || port > 65535) {
        throw std::invalid_argument("--listen needs a port between 0 and 65535.");
    }
    options.host = host;
    options.port = static_cast<int>(port);
}

// Only a file no one else can read may hold a key.
std::string readKeyFile(const std::string& flag, const std::string& path)
{
    struct stat info
    {
    };
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        throw std::invalid_argument(flag + ": " + path + " is not a readable file.");
    }
    if ((info.st_mode & 077) != 0) {
        throw std::invalid_argument(
            flag + ": " + path + " can be read by other users; make it owner-only (chmod 600).");
    }
    std::ifstream file(path);
    std::string key;
    std::getline(file, key);
    while (!key.empty() && std::isspace(static_cast<unsigned char>(key.back()))) {
        key.pop_back();
    }
    if (key.empty()) {
        throw std::invalid_argument(flag + ": " + path + " holds no key.");
    }
    return key;
}

} // namespace

bool isLoopbackHost(const std::string& host)
{
    // By the addresses the name resolves to, all of them, never by how it is spelled.
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) {
        return false;
    }
    bool loopback = found != nullptr;
    for (const addrinfo* entry = found; entry; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET) {
            const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
            loopback = loopback && (ntohl(address->sin_addr.s_addr) >> 24) == 127;
        } else if (entry->ai_family == AF_INET6) {
            const auto& address = reinterpret_cast<const sockaddr_in6*>(entry->ai_addr)->sin6_addr;
            loopback = loopback
                && (IN6_IS_ADDR_LOOPBACK(&address)
                    || (IN6_IS_ADDR_V4MAPPED(&address) && address.s6_addr[12] == 127));
        } else {
            loopback = false;
        }
    }
    ::freeaddrinfo(found);
    return loopback;
}

std::optional<std::string> hostOfUrl(const std::string& url)
{
    const auto scheme = url.find("://");
    if (scheme == std::string::npos) {
        return std::nullopt;
    }
    const std::string rest = url.substr(scheme + 3);
    const std::string authority = rest.substr(0, rest.find_first_of("/?#"));
    // User information before the host is how a URL hides where it really goes.
    if (authority.find('@') != std::string::npos) {
        return std::nullopt;
    }
    if (!authority.empty() && authority.front() == '[') {
        const auto close = authority.find(']');
        if (close == std::string::npos) {
            return std::nullopt;
        }
        return authority.substr(1, close - 1);
    }
    return authority.substr(0, authority.find(':'));
}

bool isLoopbackUrl(const std::string& url)
{
    const auto host = hostOfUrl(url);
    return host && isLoopbackHost(*host);
}

ServerOptions ServerOptions::parse(const std::vector<std::string>& arguments)
{
    ServerOptions options;
    options.dataDir = ServerOptions::defaultDataDir();
    options.openAiBaseUrl = environment("TALLISEN_OPENAI_BASE_URL", "https://api.openai.com");
    options.openAiApiKey = environment("OPENAI_API_KEY");
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& flag = arguments[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= arguments.size()) {
                throw std::invalid_argument(flag + " needs a value.");
            }
            return arguments[++i];
        };
        if (flag == "--help" || flag == "-h") {
            options.help = true;
        } else if (flag == "--version") {
            options.version = true;
        } else if (flag == "--listen") {
            parseListen(value(), options);
        } else if (flag == "--data-dir") {
            options.dataDir = value();
        } else if (flag == "--tls-cert") {
            options.tlsCert = value();
        } else if (flag == "--tls-key") {
            options.tlsKey = value();
        } else if (flag == "--self-signed") {
            options.selfSigned = true;
        } else if (flag == "--public-url") {
            options.publicUrl = value();
        } else if (flag == "--engine") {
            options.engine = value();
        } else if (flag == "--openai-base-url") {
            options.openAiBaseUrl = value();
        } else if (flag == "--openai-api-key") {
            throw std::invalid_argument(
                "A key on the command line is visible to every user in ps; give it in "
                "OPENAI_API_KEY or with --openai-api-key-file.");
        } else if (flag == "--openai-api-key-file") {
            options.openAiApiKey = readKeyFile(flag, value());
        } else if (flag == "--openai-model") {
            options.openAiModel = value();
        } else if (flag == "--oidc-issuer") {
            options.oidcIssuer = value();
        } else if (flag == "--oidc-client-id") {
            options.oidcClientId = value();
        } else if (flag == "--oidc-client-secret-file") {
            options.oidcClientSecret = readKeyFile(flag, value());
        } else if (flag == "--sign-in-as") {
            options.signInAs = value();
        } else if (flag == "--token-idle-days") {
            options.tokenIdleDays = std::clamp(std::atoi(value().c_str()), 1, 3650);
        } else if (flag == "--quota-mb") {
            options.quotaMegabytes = std::clamp(std::atoi(value().c_str()), 1, 1'000'000);
        } else if (flag == "--threads") {
            options.threads = std::max(2, std::atoi(value().c_str()));
        } else {
            throw std::invalid_argument("Unknown option " + flag + ". See --help.");
        }
    }
    if (options.tlsCert.has_value() != options.tlsKey.has_value()) {
        throw std::invalid_argument("--tls-cert and --tls-key must be given together.");
    }
    if (options.selfSigned && options.tlsCert) {
        throw std::invalid_argument("Use either --self-signed or --tls-cert/--tls-key, not both.");
    }
    if (options.engine != "pocketsphinx" && options.engine != "openai") {
        throw std::invalid_argument("--engine must be pocketsphinx or openai.");
    }
    if (!options.usesTls() && !isLoopbackHost(options.host)) {
        throw std::invalid_argument("Plain HTTP is only allowed on a loopback address; give --self-signed or "
                                    "--tls-cert/--tls-key to listen on "
            + options.host + ".");
    }
    if (options.publicUrl
        && (!options.publicUrl->starts_with("http") || hostOfUrl(*options.publicUrl).value_or("").empty())) {
        throw std::invalid_argument("--public-url needs an address such as https://tallisen.example.com.");
    }
    if (options.oidcIssuer && options.oidcClientId.empty()) {
        throw std::invalid_argument("--oidc-issuer needs --oidc-client-id, as registered with the provider.");
    }
    if (options.oidcIssuer && !options.oidcIssuer->starts_with("https://")
        && !isLoopbackUrl(*options.oidcIssuer)) {
        throw std::invalid_argument("--oidc-issuer must be an https:// address.");
    }
    // Anyone who can open the sign-in page becomes that account: only for this machine's own users.
    if (options.signInAs
        && (!isLoopbackHost(options.host) || (options.publicUrl && !isLoopbackUrl(*options.publicUrl)))) {
        throw std::invalid_argument(
            "--sign-in-as signs in whoever opens the sign-in page, so it is only allowed when "
            "the server listens on, and is reached at, a loopback address.");
    }
    return options;
}

std::string ServerOptions::usage()
{
    return R"(Usage: tallisen-server [options]

The transcription server for the Tallisen desktop app: sign-in, transcript store,
transcription with word timings, speaker detection, naming, filing and e-mailing.

  --listen HOST:PORT      Address to listen on (default 127.0.0.1:8080; port 0 picks a free one).
                          Plain HTTP is refused on anything but a loopback address.
  --data-dir DIR          Database, uploads, certificates and outbox
                          (default $XDG_DATA_HOME/tallisen-server).
  --tls-cert FILE         PEM certificate chain for HTTPS (with --tls-key).
  --tls-key FILE          PEM private key for HTTPS.
  --self-signed           Serve HTTPS with a local CA and certificate made in DATA_DIR/tls;
                          the CA path is printed so clients can trust it.
  --public-url URL        Base URL clients reach the server at, used in sign-in and upload
                          addresses (default: scheme://HOST:PORT as listened on).
  --engine NAME           pocketsphinx (default, local) or openai (forward to an
                          OpenAI-compatible /v1/audio/transcriptions).
  --openai-base-url URL   Upstream base URL (env TALLISEN_OPENAI_BASE_URL, default https://api.openai.com).
  --openai-api-key-file FILE
                          Upstream API key, from an owner-only file (or env OPENAI_API_KEY).
  --openai-model NAME     Upstream model (default whisper-1).
  --oidc-issuer URL       Offer sign-in through this OpenID Connect provider (https://). The
                          redirect address to register is PUBLIC_URL/auth/oidc/callback; it
                          signs in accounts made with "user add" whose address it vouches for.
  --oidc-client-id ID     The client id registered with the provider.
  --oidc-client-secret-file FILE
                          Its client secret, from an owner-only file (none for public clients).
  --sign-in-as EMAIL      Approve every sign-in page opened as this account, without the form
                          (for machines without a browser; loopback only).
  --quota-mb N            Transcript space per account, in megabytes (default 1000).
  --token-idle-days N     Sign out a client whose token went unused for N days (default 30).
  --threads N             Request threads (default 32).
  --version               Show the version.
  --help                  Show this text.

  tallisen-server user add|list|remove|password|tokens|revoke ...
                          Manage who can sign in; see tallisen-server user --help.
)";
}

} // namespace server
