#include "Certificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>

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
    if (!key)
        fail("generate a key");
    return key;
}

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    if (!extension)
        fail("add an extension");
    X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);
}

CertPtr newCertificate(EVP_PKEY* key, const std::string& commonName, long serial)
{
    CertPtr cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
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
    if (!file)
        fail("write " + path);
    ::chmod(path.c_str(), 0600);
    return file;
}

void writeCertificate(const std::string& path, X509* cert)
{
    auto file = openPrivate(path);
    if (PEM_write_X509(file.get(), cert) != 1)
        fail("write " + path);
    ::chmod(path.c_str(), 0644);
}

void writeKey(const std::string& path, EVP_PKEY* key)
{
    auto file = openPrivate(path);
    if (PEM_write_PrivateKey(file.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        fail("write " + path);
}

std::string subjectAltNames(const std::string& host)
{
    std::string names = "DNS:localhost,IP:127.0.0.1,IP:::1";
    if (host.empty() || host == "localhost" || host == "127.0.0.1" || host == "::1" || host == "0.0.0.0"
        || host == "::")
        return names;
    const bool numeric = host.find_first_not_of("0123456789.:abcdefABCDEF") == std::string::npos
        && host.find_first_of(".:") != std::string::npos;
    return names + (numeric ? ",IP:" : ",DNS:") + host;
}

} // namespace

Paths ensureSelfSigned(const std::string& directory, const std::string& host)
{
    namespace fs = std::filesystem;
    Paths paths { directory + "/ca.pem", directory + "/server.pem", directory + "/server-key.pem" };
    if (fs::exists(paths.caCertificate) && fs::exists(paths.certificate) && fs::exists(paths.privateKey))
        return paths;
    fs::create_directories(directory);
    fs::permissions(directory, fs::perms::owner_all, fs::perm_options::replace);

    auto caKey = newKey();
    auto ca = newCertificate(caKey.get(), "Tallisen Server Local CA", 1);
    X509_set_issuer_name(ca.get(), X509_get_subject_name(ca.get()));
    addExtension(ca.get(), ca.get(), NID_basic_constraints, "critical,CA:TRUE");
    addExtension(ca.get(), ca.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
    addExtension(ca.get(), ca.get(), NID_subject_key_identifier, "hash");
    if (X509_sign(ca.get(), caKey.get(), EVP_sha256()) == 0)
        fail("sign the CA");

    auto key = newKey();
    auto cert = newCertificate(key.get(), host.empty() ? "localhost" : host, 2);
    X509_set_issuer_name(cert.get(), X509_get_subject_name(ca.get()));
    addExtension(cert.get(), ca.get(), NID_basic_constraints, "critical,CA:FALSE");
    addExtension(cert.get(), ca.get(), NID_ext_key_usage, "serverAuth");
    addExtension(cert.get(), ca.get(), NID_subject_alt_name, subjectAltNames(host));
    if (X509_sign(cert.get(), caKey.get(), EVP_sha256()) == 0)
        fail("sign the certificate");

    writeKey(directory + "/ca-key.pem", caKey.get());
    writeCertificate(paths.caCertificate, ca.get());
    writeKey(paths.privateKey, key.get());
    writeCertificate(paths.certificate, cert.get());
    return paths;
}

} // namespace server::Certificates
