#include "support/SelfSignedCertificate.h"

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {

void addExtension(X509* certificate, int nid, const char* value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (!extension) {
        throw std::runtime_error("cannot make certificate extension");
    }
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
}

void writePem(X509* certificate, const std::string& path)
{
    FILE* file = std::fopen(path.c_str(), "w");
    if (!file) {
        throw std::runtime_error("cannot write " + path);
    }
    PEM_write_X509(file, certificate);
    std::fclose(file);
}

} // namespace

SelfSignedCertificate::SelfSignedCertificate()
    : m_key(EVP_EC_gen("P-256"))
    , m_certificate(X509_new())
{
    X509* certificate = m_certificate.get();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), static_cast<long>(std::rand()) + 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 86400);
    X509_set_pubkey(certificate, m_key.get());
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(
        name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Tallisen test server"), -1, -1, 0);
    X509_set_issuer_name(certificate, name);
    addExtension(certificate, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(certificate, NID_key_usage, "critical,digitalSignature,keyCertSign");
    addExtension(certificate, NID_ext_key_usage, "serverAuth");
    addExtension(certificate, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
    X509_sign(certificate, m_key.get(), EVP_sha256());

    char pattern[] = "/tmp/tallisen-test-certificate.XXXXXX";
    if (!mkdtemp(pattern)) {
        throw std::runtime_error("cannot make a folder for the certificate");
    }
    m_directory = pattern;
    m_path = m_directory + "/ca.pem";
    writePem(certificate, m_path);
}

SelfSignedCertificate::~SelfSignedCertificate()
{
    std::remove(m_path.c_str());
    rmdir(m_directory.c_str());
}
