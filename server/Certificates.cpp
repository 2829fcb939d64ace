#include "Certificates.h"

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>
#include <vector>

namespace server::Certificates {

namespace {

struct KeyFree
{
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree
{
    void operator()(X509* cert) const { X509_free(cert); }
};
struct FileClose
{
    void operator()(FILE* file) const { std::fclose(file); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using CertPtr = std::unique_ptr<X509, CertFree>;
using FilePtr = std::unique_ptr<FILE, FileClose>;

[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error("The server could not " + what + " for its self-signed certificate.");
}

KeyPtr newKey()
{
    KeyPtr key(EVP_EC_gen("P-256"));
    if (!key) {
        fail("generate a key");
    }
    return key;
}

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    if (!extension) {
        fail("add an extension");
    }
    X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);
}

// Random, so that no two certificates this server ever makes share a serial.
void setRandomSerial(X509* cert)
{
    std::unique_ptr<BIGNUM, decltype(&BN_free)> serial(BN_new(), BN_free);
    if (!serial || BN_rand(serial.get(), 159, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1
        || !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert))) {
        fail("choose a serial number");
    }
}

CertPtr newCertificate(EVP_PKEY* key, const std::string& commonName)
{
    CertPtr cert(X509_new());
    X509_set_version(cert.get(), 2);
    setRandomSerial(cert.get());
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 60L * 60 * 24 * 825);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(
        name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    return cert;
}

FilePtr openPrivate(const std::string& path)
{
    FilePtr file(std::fopen(path.c_str(), "w"));
    if (!file) {
        fail("write " + path);
    }
    ::chmod(path.c_str(), 0600);
    return file;
}

void writeCertificate(const std::string& path, X509* cert)
{
    auto file = openPrivate(path);
    if (PEM_write_X509(file.get(), cert) != 1) {
        fail("write " + path);
    }
    ::chmod(path.c_str(), 0644);
}

void writeKey(const std::string& path, EVP_PKEY* key)
{
    auto file = openPrivate(path);
    if (PEM_write_PrivateKey(file.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        fail("write " + path);
    }
}

bool isNumeric(const std::string& host)
{
    return host.find_first_not_of("0123456789.:abcdefABCDEF") == std::string::npos
        && host.find_first_of(".:") != std::string::npos;
}

std::vector<std::string> namesFor(const std::vector<std::string>& hosts)
{
    std::vector<std::string> names { "localhost", "127.0.0.1", "::1" };
    for (const auto& host : hosts) {
        if (!host.empty() && host != "0.0.0.0" && host != "::"
            && std::find(names.begin(), names.end(), host) == names.end()) {
            names.push_back(host);
        }
    }
    return names;
}

std::string subjectAltNames(const std::vector<std::string>& names)
{
    std::string text;
    for (const auto& name : names) {
        text += (text.empty() ? "" : ",") + std::string(isNumeric(name) ? "IP:" : "DNS:") + name;
    }
    return text;
}

// The CA may only vouch for this server's own names.
std::string nameConstraints(const std::vector<std::string>& names)
{
    std::string text = "critical";
    for (const auto& name : names) {
        if (!isNumeric(name)) {
            text += ",permitted;DNS:" + name;
        } else if (name.find(':') == std::string::npos) {
            text += ",permitted;IP:" + name + "/255.255.255.255";
        } else {
            text += ",permitted;IP:" + name + "/ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff";
        }
    }
    return text;
}

std::string readText(const std::string& path)
{
    std::ifstream file(path);
    return { std::istreambuf_iterator<char>(file), {} };
}

} // namespace

Paths ensureSelfSigned(const std::string& directory, const std::vector<std::string>& hosts)
{
    namespace fs = std::filesystem;
    Paths paths { directory + "/ca.pem", directory + "/server.pem", directory + "/server-key.pem" };
    const std::vector<std::string> names = namesFor(hosts);
    const std::string namesPath = directory + "/names";
    // Kept by older versions of the server; nothing needs it any more.
    std::error_code ignored;
    fs::remove(directory + "/ca-key.pem", ignored);
    if (fs::exists(paths.caCertificate) && fs::exists(paths.certificate) && fs::exists(paths.privateKey)
        && readText(namesPath) == subjectAltNames(names)) {
        return paths;
    }
    fs::create_directories(directory);
    fs::permissions(directory, fs::perms::owner_all, fs::perm_options::replace);

    auto caKey = newKey();
    auto ca = newCertificate(caKey.get(), "Tallisen Server Local CA");
    X509_set_issuer_name(ca.get(), X509_get_subject_name(ca.get()));
    addExtension(ca.get(), ca.get(), NID_basic_constraints, "critical,CA:TRUE,pathlen:0");
    addExtension(ca.get(), ca.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    addExtension(ca.get(), ca.get(), NID_subject_key_identifier, "hash");
    addExtension(ca.get(), ca.get(), NID_name_constraints, nameConstraints(names));
    if (X509_sign(ca.get(), caKey.get(), EVP_sha256()) == 0) {
        fail("sign the CA");
    }

    auto key = newKey();
    auto cert = newCertificate(key.get(), names.size() > 3 ? names[3] : names.front());
    X509_set_issuer_name(cert.get(), X509_get_subject_name(ca.get()));
    addExtension(cert.get(), ca.get(), NID_basic_constraints, "critical,CA:FALSE");
    addExtension(cert.get(), ca.get(), NID_ext_key_usage, "serverAuth");
    addExtension(cert.get(), ca.get(), NID_subject_alt_name, subjectAltNames(names));
    if (X509_sign(cert.get(), caKey.get(), EVP_sha256()) == 0) {
        fail("sign the certificate");
    }
    // The CA's key goes out of scope here, unwritten: it signed its one certificate.

    writeCertificate(paths.caCertificate, ca.get());
    writeKey(paths.privateKey, key.get());
    writeCertificate(paths.certificate, cert.get());
    std::ofstream(namesPath) << subjectAltNames(names);
    return paths;
}

} // namespace server::Certificates
