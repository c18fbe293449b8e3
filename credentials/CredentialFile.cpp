// Reading and deciphering the credential file, and the enciphering half used by the credential
// issuer. Every buffer that holds plain credentials, the key, the vector, the
// table copy or the digest is zeroed before it is released, on every path.
#include "credentials/CredentialFile.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "credentials/DerivationTable.h"
#include "credentials/OpenSslOwners.h"
#include "support/Owners.h"
#include "support/Wipe.h"

namespace {

// One SEED-CBC pass with PKCS#7 padding; `enc` 1 enciphers, 0 deciphers. SEED lives in OpenSSL 3's
// legacy provider. It is fetched from a private library context: loading the legacy provider into
// the process-wide context, which CivetWeb's TLS uses, would leave TLS with no ciphers.
int SeedCBC(int enc, const void* in, int in_len, const unsigned char* iv, int iv_len,
            const unsigned char* key, int key_len, void** out, int* out_len) {
    // The cipher reads 16 bytes of key and vector whatever the lengths say, so shorter ones would
    // be read past their end.
    if (in == nullptr || in_len <= 0 || iv == nullptr || iv_len < NV_SEED_IV_LEN ||
        key == nullptr || key_len < NV_SEED_KEY_LEN || out == nullptr || out_len == nullptr)
        return -1;

    LibCtxPtr libctx(OSSL_LIB_CTX_new());
    if (!libctx)
        return -1;
    ProviderPtr legacy(OSSL_PROVIDER_load(libctx.get(), "legacy"));
    ProviderPtr deflt(OSSL_PROVIDER_load(libctx.get(), "default"));
    if (!legacy || !deflt)
        return -1;
    CipherPtr cipher(EVP_CIPHER_fetch(libctx.get(), "SEED-CBC", nullptr));
    if (!cipher)
        return -1;
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx)
        return -1;
    if (EVP_CipherInit_ex(ctx.get(), cipher.get(), nullptr, key, iv, enc) != 1)
        return -1;
    if (EVP_CIPHER_CTX_set_padding(ctx.get(), 1) != 1)
        return -2;

    // Deciphering never yields more than its input; enciphering adds up to one block of padding.
    const int block = EVP_CIPHER_get_block_size(cipher.get());
    if (enc != 0 && in_len > INT_MAX - block)
        return -1;
    const int capacity = enc != 0 ? in_len + block : in_len;
    CWipedBuffer buf;
    if (!buf.Allocate(static_cast<size_t>(capacity)))
        return -3;

    int n1 = 0;
    if (EVP_CipherUpdate(ctx.get(), buf.Bytes(), &n1, static_cast<const unsigned char*>(in),
                         in_len) != 1)
        return -4;
    int n2 = 0;
    if (EVP_CipherFinal_ex(ctx.get(), buf.Bytes() + n1, &n2) != 1)
        return -5;

    *out_len = n1 + n2;
    *out = buf.Release();
    return 1;
}

// Reads a length field as atoi would (leading blanks, an optional sign, digits up to the first
// other byte) but never past the field: digits that run to its end, or a value beyond int, give -1.
int ReadLengthField(const unsigned char* field) {
    int i = 0;
    while (i < NV_CRED_LENGTH_FIELD && (field[i] == ' ' || (field[i] >= '\t' && field[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < NV_CRED_LENGTH_FIELD && (field[i] == '+' || field[i] == '-')) {
        negative = field[i] == '-';
        ++i;
    }
    long long value = 0;
    while (i < NV_CRED_LENGTH_FIELD && field[i] >= '0' && field[i] <= '9') {
        value = value * 10 + (field[i] - '0');
        if (value > INT_MAX)
            return -1;
        ++i;
    }
    if (i >= NV_CRED_LENGTH_FIELD)
        return -1;
    if (negative)
        return value == 0 ? 0 : -1;
    return static_cast<int>(value);
}

}  // namespace

DEC_CERT::DEC_CERT() : pCert(nullptr), nCertLen(0), pKey(nullptr), nKeyLen(0) {}

DEC_CERT::~DEC_CERT() {
    brim_decfree(pCert, nCertLen);
    brim_decfree(pKey, nKeyLen);
}

namespace {

// Deciphers a file image read by ReadCertFile or ReadCertFd (rc its result) into cert.
int DecipherImage(int rc, void* data, int len, DEC_CERT* cert) {
    if (rc != 0 || data == nullptr || len <= 0) {
        brim_decfree(data, len);
        return -2;
    }
    CWipedBuffer file(data, static_cast<size_t>(len));
    const int dec =
        brim_deccerts(data, len, &cert->pCert, &cert->nCertLen, &cert->pKey, &cert->nKeyLen);
    return dec < 0 ? dec : 0;
}

}  // namespace

int LoadEncryptedCert(const char* path, DEC_CERT* cert) {
    if (path == nullptr || cert == nullptr)
        return -1;
    void* data = nullptr;
    int len = 0;
    const int rc = ReadCertFile(path, &data, &len);
    return DecipherImage(rc, data, len, cert);
}

int LoadEncryptedCertFd(int fd, DEC_CERT* cert) {
    if (fd < 0 || cert == nullptr)
        return -1;
    void* data = nullptr;
    int len = 0;
    const int rc = ReadCertFd(fd, &data, &len);
    return DecipherImage(rc, data, len, cert);
}

int brim_deccerts(const void* data, int len, char** cert, int* cert_len, char** key, int* key_len) {
    if (data == nullptr || len <= 0 || cert == nullptr || cert_len == nullptr || key == nullptr ||
        key_len == nullptr)
        return -1;

    unsigned char k[NV_SEED_KEY_LEN];
    unsigned char v[NV_SEED_IV_LEN];
    CScopedWipe wipeKey(k, sizeof(k));
    CScopedWipe wipeIv(v, sizeof(v));
    if (BRIM_GenerateEncKeyAndIV(k, v) != 1)
        return -2;

    void* plainData = nullptr;
    int plainLen = 0;
    if (DecryptSeedCBC(data, len, v, sizeof(v), k, sizeof(k), &plainData, &plainLen) != 1)
        return -3;
    CWipedBuffer plain(plainData, static_cast<size_t>(plainLen));
    const unsigned char* p = plain.Bytes();

    // Both length fields must lie inside the plain text before either is read.
    if (plainLen < 2 * NV_CRED_LENGTH_FIELD)
        return -4;
    const int body = plainLen - 2 * NV_CRED_LENGTH_FIELD;
    const int c = ReadLengthField(p);
    if (c < 1 || c >= body)
        return -4;
    const int n = ReadLengthField(p + NV_CRED_LENGTH_FIELD);
    if (n < 1 || n > body - c)
        return -5;

    CWipedBuffer certBuf;
    CWipedBuffer keyBuf;
    if (!certBuf.Allocate(static_cast<size_t>(c) + 1) ||
        !keyBuf.Allocate(static_cast<size_t>(n) + 1)) {
        *cert = nullptr;
        *key = nullptr;
        return -5;
    }
    std::memcpy(certBuf.Bytes(), p + 2 * NV_CRED_LENGTH_FIELD, static_cast<size_t>(c));
    std::memcpy(keyBuf.Bytes(), p + 2 * NV_CRED_LENGTH_FIELD + c, static_cast<size_t>(n));
    *cert = static_cast<char*>(certBuf.Release());
    *cert_len = c;
    *key = static_cast<char*>(keyBuf.Release());
    *key_len = n;
    return 0;
}

void brim_decfree(void* buf, int len) {
    if (buf == nullptr)
        return;
    if (len > 0)
        WipeBuffer(buf, static_cast<size_t>(len));
    std::free(buf);
}

int BRIM_GenerateEncKeyAndIV(unsigned char* key, unsigned char* iv) {
    if (key == nullptr || iv == nullptr)
        return 0;

    unsigned char work[NV_DERIVATION_TABLE_SIZE];
    CScopedWipe wipeWork(work, sizeof(work));
    std::memcpy(work, g_NvDerivationTable, sizeof(work));

    unsigned char digest[EVP_MAX_MD_SIZE];
    CScopedWipe wipeDigest(digest, sizeof(digest));
    unsigned int digestLen = 0;
    MdCtxPtr md(EVP_MD_CTX_new());
    if (!md || EVP_DigestInit_ex(md.get(), EVP_sha256(), nullptr) != 1 ||
        EVP_DigestUpdate(md.get(), work, sizeof(work)) != 1 ||
        EVP_DigestFinal_ex(md.get(), digest, &digestLen) != 1)
        return 0;
    if (digestLen != 32)
        return -1;

    std::memcpy(key, digest, NV_SEED_KEY_LEN);
    std::memcpy(iv, digest + NV_SEED_KEY_LEN, NV_SEED_IV_LEN);
    for (int s = 0; s < 3; ++s) {
        for (int i = 0; i < NV_DERIVATION_SLICE_SIZE; ++i) {
            key[i] ^= work[g_NvKeySlices[s] + i];
            iv[i] ^= work[g_NvIvSlices[s] + i];
        }
    }
    return 1;
}

namespace {

// Reads the whole of an open file of 1 to NV_CREDENTIAL_FILE_MAX bytes into a new buffer.
int ReadCertStream(FILE* f, void** data, int* len) {
    if (std::fseek(f, 0, SEEK_END) != 0)
        return -1;
    const long size = std::ftell(f);
    // Refused before a byte is read.
    if (size < 1 || size > NV_CREDENTIAL_FILE_MAX)
        return -1;
    if (std::fseek(f, 0, SEEK_SET) != 0)
        return -1;

    CWipedBuffer buf;
    if (!buf.Allocate(static_cast<size_t>(size)))
        return -1;
    size_t got = 0;
    while (got < static_cast<size_t>(size)) {
        const size_t n = std::fread(buf.Bytes() + got, 1, static_cast<size_t>(size) - got, f);
        if (n == 0)
            break;
        got += n;
    }
    if (got != static_cast<size_t>(size))
        return -1;
    *len = static_cast<int>(size);
    *data = buf.Release();
    return 0;
}

}  // namespace

int ReadCertFile(const char* path, void** data, int* len) {
    if (path == nullptr || data == nullptr || len == nullptr)
        return -1;
    FilePtr f(std::fopen(path, "rb"));
    if (!f)
        return -1;
    return ReadCertStream(f.get(), data, len);
}

int ReadCertFd(int fd, void** data, int* len) {
    if (fd < 0 || data == nullptr || len == nullptr)
        return -1;
    // A stream of its own over a duplicate, so that the caller's descriptor stays open and its own.
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return -1;
    FilePtr f(fdopen(copy, "rb"));
    if (!f) {
        close(copy);
        return -1;
    }
    return ReadCertStream(f.get(), data, len);
}

int DecryptSeedCBC(const void* in, int in_len, const unsigned char* iv, int iv_len,
                   const unsigned char* key, int key_len, void** out, int* out_len) {
    return SeedCBC(/*enc=*/0, in, in_len, iv, iv_len, key, key_len, out, out_len);
}

int EncryptSeedCBC(const void* in, int in_len, const unsigned char* iv, int iv_len,
                   const unsigned char* key, int key_len, void** out, int* out_len) {
    return SeedCBC(/*enc=*/1, in, in_len, iv, iv_len, key, key_len, out, out_len);
}

int BRIM_EncipherPlain(const void* plain, int len, void** out, int* out_len) {
    if (plain == nullptr || len <= 0 || out == nullptr || out_len == nullptr)
        return -1;
    unsigned char k[NV_SEED_KEY_LEN];
    unsigned char v[NV_SEED_IV_LEN];
    CScopedWipe wipeKey(k, sizeof(k));
    CScopedWipe wipeIv(v, sizeof(v));
    if (BRIM_GenerateEncKeyAndIV(k, v) != 1)
        return -2;
    if (EncryptSeedCBC(plain, len, v, sizeof(v), k, sizeof(k), out, out_len) != 1)
        return -3;
    return 0;
}

int brim_enccerts(const char* cert, int cert_len, const char* key, int key_len, void** out,
                  int* out_len) {
    if (cert == nullptr || cert_len < 1 || key == nullptr || key_len < 1 || out == nullptr ||
        out_len == nullptr)
        return -1;
    // The padded ciphertext must stay within what the daemon reads.
    const long long plainLen = 2LL * NV_CRED_LENGTH_FIELD + cert_len + key_len;
    if ((plainLen / NV_SEED_IV_LEN + 1) * NV_SEED_IV_LEN > NV_CREDENTIAL_FILE_MAX)
        return -4;

    CWipedBuffer plain;
    if (!plain.Allocate(static_cast<size_t>(plainLen)))
        return -5;
    char* p = reinterpret_cast<char*>(plain.Bytes());
    // NUL-padded decimal fields; the buffer is zeroed already.
    std::snprintf(p, NV_CRED_LENGTH_FIELD, "%d", cert_len);
    std::snprintf(p + NV_CRED_LENGTH_FIELD, NV_CRED_LENGTH_FIELD, "%d", key_len);
    std::memcpy(p + 2 * NV_CRED_LENGTH_FIELD, cert, static_cast<size_t>(cert_len));
    std::memcpy(p + 2 * NV_CRED_LENGTH_FIELD + cert_len, key, static_cast<size_t>(key_len));
    return BRIM_EncipherPlain(p, static_cast<int>(plainLen), out, out_len);
}
