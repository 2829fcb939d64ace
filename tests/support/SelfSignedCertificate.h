#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <string>

// A throw-away certificate that is its own CA, valid for localhost and
// 127.0.0.1, with its PEM in a private temporary folder so a client can
// trust it through SSL_CERT_FILE.
class SelfSignedCertificate
{
public:
    SelfSignedCertificate();
    SelfSignedCertificate(const SelfSignedCertificate&) = delete;
    SelfSignedCertificate& operator=(const SelfSignedCertificate&) = delete;
    ~SelfSignedCertificate();

    X509* certificate() const { return m_certificate.get(); }
    EVP_PKEY* key() const { return m_key.get(); }
    const std::string& path() const { return m_path; }

private:
    struct KeyDeleter
    {
        void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
    };
    struct CertificateDeleter
    {
        void operator()(X509* certificate) const { X509_free(certificate); }
    };

    std::unique_ptr<EVP_PKEY, KeyDeleter> m_key;
    std::unique_ptr<X509, CertificateDeleter> m_certificate;
    std::string m_directory;
    std::string m_path;
};
