#include "Passwords.h"

#include "Secrets.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdint>
#include <optional>
#include <semaphore>
#include <stdexcept>
#include <vector>

namespace server::Passwords {

namespace {

// 32 MiB and about 0.1 s per attempt.
constexpr std::uint64_t kCost = 1 << 15;
constexpr std::uint64_t kBlockSize = 8;
constexpr std::uint64_t kParallelism = 1;
constexpr std::size_t kSaltBytes = 16;
constexpr std::size_t kHashBytes = 32;
constexpr std::uint64_t kMemoryLimit = 64 * 1024 * 1024;

// A burst of sign-ins must not take every core and 32 MiB each.
std::counting_semaphore<2> g_hashing(2);

struct Parameters
{
    std::uint64_t cost = kCost;
    std::uint64_t blockSize = kBlockSize;
    std::uint64_t parallelism = kParallelism;
    std::vector<unsigned char> salt;
    std::vector<unsigned char> hash;
};

std::vector<unsigned char> derive(const std::string& password, const Parameters& parameters, std::size_t size)
{
    std::vector<unsigned char> key(size);
    g_hashing.acquire();
    const int ok = EVP_PBE_scrypt(password.data(), password.size(), parameters.salt.data(),
        parameters.salt.size(), parameters.cost, parameters.blockSize, parameters.parallelism, kMemoryLimit,
        key.data(), key.size());
    g_hashing.release();
    if (ok != 1) {
        throw std::runtime_error("The server could not hash a password.");
    }
    return key;
}

std::optional<std::uint64_t> number(const std::string& text)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    return std::stoull(text);
}

std::optional<Parameters> parse(const std::string& stored)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (true) {
        const auto end = stored.find('$', start);
        fields.push_back(stored.substr(start, end - start));
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    if (fields.size() != 6 || fields[0] != "scrypt") {
        return std::nullopt;
    }
    const auto cost = number(fields[1]);
    const auto blockSize = number(fields[2]);
    const auto parallelism = number(fields[3]);
    auto salt = Secrets::unhex(fields[4]);
    auto hash = Secrets::unhex(fields[5]);
    // Bounds keep a tampered row from asking for gigabytes.
    if (!cost || !blockSize || !parallelism || !salt || !hash || *cost < 2 || *cost > (1u << 20)
        || (*cost & (*cost - 1)) != 0 || *blockSize < 1 || *blockSize > 32 || *parallelism != 1
        || salt->size() < 8 || hash->size() < 16 || hash->size() > 64) {
        return std::nullopt;
    }
    return Parameters { *cost, *blockSize, *parallelism, std::move(*salt), std::move(*hash) };
}

void spendVerifyCost(const std::string& password)
{
    Parameters parameters;
    parameters.salt.assign(kSaltBytes, 0);
    derive(password, parameters, kHashBytes);
}

} // namespace

std::string hash(const std::string& password)
{
    Parameters parameters;
    parameters.salt = Secrets::randomBytes(kSaltBytes);
    const auto key = derive(password, parameters, kHashBytes);
    return "scrypt$" + std::to_string(kCost) + "$" + std::to_string(kBlockSize) + "$"
        + std::to_string(kParallelism) + "$" + Secrets::hex(parameters.salt.data(), parameters.salt.size())
        + "$" + Secrets::hex(key.data(), key.size());
}

bool verify(const std::string& password, const std::string& stored)
{
    const auto parameters = parse(stored);
    if (!parameters) {
        spendVerifyCost(password);
        return false;
    }
    const auto key = derive(password, *parameters, parameters->hash.size());
    return CRYPTO_memcmp(key.data(), parameters->hash.data(), key.size()) == 0;
}

void checkStrength(const std::string& password)
{
    if (password.size() < kMinimumLength) {
        throw std::invalid_argument(
            "Choose a password of at least " + std::to_string(kMinimumLength) + " characters.");
    }
    if (password.size() > 1024) {
        throw std::invalid_argument("Choose a password of at most 1024 characters.");
    }
}

} // namespace server::Passwords
