// The credential file: it holds the server certificate and its unencrypted PEM private key as one
// SEED-CBC ciphertext. The daemon deciphers it in memory each time CivetWeb builds its TLS context;
// the key and vector are never stored but derived at run time from a constant table. The
// enciphering half is used by the credential issuer, which must produce exactly what this file
// reads.
//
// Plain-text layout: 16 bytes certificate length and 16 bytes key length (decimal ASCII, ended by a
// NUL or a blank inside the field), then the certificate PEM, then the key PEM.
#pragma once

// Largest credential file the daemon reads.
#define NV_CREDENTIAL_FILE_MAX 16384
// Length of the cipher key and of the vector.
#define NV_SEED_KEY_LEN 16
#define NV_SEED_IV_LEN 16
// Size of each length field at the head of the plain text.
#define NV_CRED_LENGTH_FIELD 16

// Deciphered credentials; owned by whoever constructed it. Both texts are NUL-terminated one byte
// beyond their lengths, and are zeroed and freed by the destructor.
struct DEC_CERT {
    char* pCert;
    int nCertLen;
    char* pKey;
    int nKeyLen;

    DEC_CERT();
    ~DEC_CERT();
    DEC_CERT(const DEC_CERT&) = delete;
    DEC_CERT& operator=(const DEC_CERT&) = delete;
};

// 0, -1 (null argument), -2 (file unreadable) or the negative code of brim_deccerts.
int LoadEncryptedCert(const char* path, DEC_CERT* cert);
// The same from a file already open for reading (the caller keeps and closes fd), so that the file
// whose owner and mode were checked is the one read.
int LoadEncryptedCertFd(int fd, DEC_CERT* cert);

extern "C" {
// Deciphers a credential file image. 0; -1 bad argument; -2 no key; -3 deciphering failed;
// -4 bad certificate length; -5 bad key length or no memory. Outputs are freed with brim_decfree.
int brim_deccerts(const void* data, int len, char** cert, int* cert_len, char** key, int* key_len);
// Zeroes len bytes of a non-null buf, then frees it.
void brim_decfree(void* buf, int len);
// Writes the 16-byte key and vector. 1; 0 no digest; -1 digest not 32 bytes long.
int BRIM_GenerateEncKeyAndIV(unsigned char* key, unsigned char* iv);
}

// Reads a whole file of 1 to NV_CREDENTIAL_FILE_MAX bytes into a new buffer. 0, or -1.
int ReadCertFile(const char* path, void** data, int* len);
// The same from an open descriptor, read from its start; fd stays open.
int ReadCertFd(int fd, void** data, int* len);

// SEED-CBC with PKCS#7 padding, deciphering. 1; -1 bad argument or no cipher context; -2 padding
// not enabled; -3 no output buffer; -4 update failed; -5 final step failed (wrong key, vector or
// padding). The key and the vector must each hold at least 16 bytes.
int DecryptSeedCBC(const void* in, int in_len, const unsigned char* iv, int iv_len,
                   const unsigned char* key, int key_len, void** out, int* out_len);
// The enciphering direction, with the same codes.
int EncryptSeedCBC(const void* in, int in_len, const unsigned char* iv, int iv_len,
                   const unsigned char* key, int key_len, void** out, int* out_len);

// Enciphers any plain text with the derived key and vector, as the credential file is enciphered
// (tests use it to craft plain texts the tool would never write). 0; -1 bad argument; -2 no key;
// -3 enciphering failed. The output is freed with brim_decfree.
int BRIM_EncipherPlain(const void* plain, int len, void** out, int* out_len);
// Builds the credential file image from certificate and key PEM texts. 0; -1 bad argument;
// -2 no key; -3 enciphering failed; -4 the image would exceed NV_CREDENTIAL_FILE_MAX; -5 no
// memory. The output is freed with brim_decfree.
int brim_enccerts(const char* cert, int cert_len, const char* key, int key_len, void** out,
                  int* out_len);
