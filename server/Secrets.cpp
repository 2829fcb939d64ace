#include "Secrets.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <vector>

namespace server::Secrets {

namespace {

template <std::size_t N> std::array<unsigned char, N> randomBytes()
{
    std::array<unsigned char, N> bytes {};
    if (RAND_bytes(bytes.data(), static_cast<int>(N)) != 1) {
        throw std::runtime_error("The server could not generate random numbers.");
    }
    return bytes;
}

} // namespace

std::vector<unsigned char> randomBytes(std::size_t count)
{
    std::vector<unsigned char> bytes(count);
    if (RAND_bytes(bytes.data(), static_cast<int>(count)) != 1) {
        throw std::runtime_error("The server could not generate random numbers.");
    }
    return bytes;
}

std::string hex(const unsigned char* bytes, std::size_t size)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0xF];
    }
    return text;
}

std::optional<std::vector<unsigned char>> unhex(std::string_view text)
{
    const auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        return -1;
    };
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    std::vector<unsigned char> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = nibble(text[i]);
        const int low = nibble(text[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<unsigned char>(high << 4 | low));
    }
    return bytes;
}

std::string randomToken()
{
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    const auto bytes = randomBytes<32>();
    // 43 characters of 6 bits each cover the 256 bits.
    std::string text;
    unsigned buffer = 0;
    int bits = 0;
    for (unsigned char byte : bytes) {
        buffer = (buffer << 8) | byte;
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            text += kAlphabet[(buffer >> bits) & 0x3F];
        }
    }
    if (bits > 0) {
        text += kAlphabet[(buffer << (6 - bits)) & 0x3F];
    }
    return text;
}

std::string sha256(std::string_view bytes)
{
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest {};
    unsigned int size = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &size, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("The server could not hash a secret.");
    }
    return std::string(reinterpret_cast<const char*>(digest.data()), size);
}

std::string sha256Hex(std::string_view text)
{
    const std::string digest = sha256(text);
    return hex(reinterpret_cast<const unsigned char*>(digest.data()), digest.size());
}

std::string base64(std::string_view bytes)
{
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(written));
    return text;
}

std::string base64Url(std::string_view bytes)
{
    std::string text = base64(bytes);
    while (!text.empty() && text.back() == '=') {
        text.pop_back();
    }
    std::replace(text.begin(), text.end(), '+', '-');
    std::replace(text.begin(), text.end(), '/', '_');
    return text;
}

std::optional<std::string> fromBase64Url(std::string_view text)
{
    std::string standard(text);
    for (char& c : standard) {
        if (c == '-') {
            c = '+';
        } else if (c == '_') {
            c = '/';
        } else if (!std::isalnum(static_cast<unsigned char>(c))) {
            return std::nullopt;
        }
    }
    if (standard.size() % 4 == 1) {
        return std::nullopt;
    }
    const std::size_t padding = (4 - standard.size() % 4) % 4;
    standard.append(padding, '=');
    std::string bytes(standard.size() / 4 * 3, '\0');
    const int written = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
        reinterpret_cast<const unsigned char*>(standard.data()), static_cast<int>(standard.size()));
    if (written < 0) {
        return std::nullopt;
    }
    bytes.resize(static_cast<std::size_t>(written) - padding);
    return bytes;
}

std::string newUuid()
{
    auto bytes = randomBytes<16>();
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text += '-';
        }
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
        text += pair;
    }
    return text;
}

} // namespace server::Secrets
