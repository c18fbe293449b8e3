// Owners for OpenSSL handles, shared by the TLS credential code and the credentials tool.
#pragma once

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

// Deleter calling an OpenSSL or C library release function.
template <auto Fn>
struct CFree {
    template <class T>
    void operator()(T* p) const {
        Fn(p);
    }
};

using LibCtxPtr = std::unique_ptr<OSSL_LIB_CTX, CFree<OSSL_LIB_CTX_free>>;
using ProviderPtr = std::unique_ptr<OSSL_PROVIDER, CFree<OSSL_PROVIDER_unload>>;
using CipherPtr = std::unique_ptr<EVP_CIPHER, CFree<EVP_CIPHER_free>>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CFree<EVP_CIPHER_CTX_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, CFree<EVP_MD_CTX_free>>;
using BioPtr = std::unique_ptr<BIO, CFree<BIO_free>>;
using X509Ptr = std::unique_ptr<X509, CFree<X509_free>>;
using PKeyPtr = std::unique_ptr<EVP_PKEY, CFree<EVP_PKEY_free>>;
using BnPtr = std::unique_ptr<BIGNUM, CFree<BN_free>>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, CFree<X509_EXTENSION_free>>;
