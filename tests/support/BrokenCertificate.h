#pragma once
// A certificate that parses but that its own key no longer vouches for:
// the "malformed" one of the certificate checks and the hostile peers.
#include "core/security/Identity.h"

#include <gtest/gtest.h>
#include <openssl/x509.h>

namespace corvid::test {

// `id`'s certificate with the last byte of its signature flipped: it
// parses, but its own key no longer vouches for it.
inline X509Ptr brokenCertificate(const Identity& id)
{
    unsigned char* der = nullptr;
    const int n = i2d_X509(id.certificate(), &der);
    EXPECT_GT(n, 0);
    der[n - 1] ^= 0x01;
    const unsigned char* p = der;
    X509Ptr cert(d2i_X509(nullptr, &p, n));
    OPENSSL_free(der);
    EXPECT_TRUE(cert);
    return cert;
}

} // namespace corvid::test
