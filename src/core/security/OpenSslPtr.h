#pragma once
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>

namespace corvid {

// OpenSSL objects owned the RAII way: each frees with its own function.
template <auto Free>
struct OpenSslFree {
    template <typename T>
    void operator()(T* p) const { Free(p); }
};
using PKeyPtr = std::unique_ptr<EVP_PKEY, OpenSslFree<EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, OpenSslFree<X509_free>>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, OpenSslFree<SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, OpenSslFree<SSL_free>>;
using BioPtr = std::unique_ptr<BIO, OpenSslFree<BIO_free_all>>;

} // namespace corvid
