// Credential plain text -> the length fields and the cut into certificate and key. The plain text
// is enciphered with the daemon's own derived key first, so every input reaches the layout checks
// instead of dying in the padding check; one input in four is handed over raw as a ciphertext.
#include <cstring>
#include <string>

#include "credentials/CredentialFile.h"
#include "fuzz/FuzzCommon.h"

namespace {

// A field written the way the credentials tool writes it: decimal digits, then NUL bytes.
bool Canonical(const unsigned char* field, int& value) {
    int i = 0;
    long long v = 0;
    while (i < NV_CRED_LENGTH_FIELD && field[i] >= '0' && field[i] <= '9') {
        v = v * 10 + (field[i] - '0');
        if (v > 1000000)
            return false;
        ++i;
    }
    if (i == 0)
        return false;
    for (int j = i; j < NV_CRED_LENGTH_FIELD; ++j)
        if (field[j] != 0)
            return false;
    value = static_cast<int>(v);
    return true;
}

void CheckDeciphered(const std::string& plain, int rc, const char* cert, int certLen,
                     const char* key, int keyLen) {
    NV_FUZZ_CHECK(rc == 0 || rc == -4 || rc == -5);
    const int body = static_cast<int>(plain.size()) - 2 * NV_CRED_LENGTH_FIELD;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(plain.data());
    if (rc != 0) {
        NV_FUZZ_CHECK(cert == nullptr && key == nullptr);
        // Well-formed fields that fit are never refused.
        int c = 0;
        int n = 0;
        if (body > 0 && Canonical(p, c) && Canonical(p + NV_CRED_LENGTH_FIELD, n))
            NV_FUZZ_CHECK(!(c >= 1 && c < body && n >= 1 && n <= body - c));
        return;
    }
    NV_FUZZ_CHECK(cert != nullptr && key != nullptr);
    NV_FUZZ_CHECK(certLen >= 1 && certLen < body);
    NV_FUZZ_CHECK(keyLen >= 1 && keyLen <= body - certLen);
    NV_FUZZ_CHECK(std::memcmp(cert, plain.data() + 2 * NV_CRED_LENGTH_FIELD,
                              static_cast<size_t>(certLen)) == 0);
    NV_FUZZ_CHECK(std::memcmp(key, plain.data() + 2 * NV_CRED_LENGTH_FIELD + certLen,
                              static_cast<size_t>(keyLen)) == 0);
    // Both texts end one byte beyond their lengths.
    NV_FUZZ_CHECK(cert[certLen] == '\0' && key[keyLen] == '\0');
    // The lengths are what the fields say, read as a C string would be.
    std::string certField(plain.data(), NV_CRED_LENGTH_FIELD);
    std::string keyField(plain.data() + NV_CRED_LENGTH_FIELD, NV_CRED_LENGTH_FIELD);
    NV_FUZZ_CHECK(std::atoi(certField.c_str()) == certLen);
    NV_FUZZ_CHECK(std::atoi(keyField.c_str()) == keyLen);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t mode = nvfuzz::TakeByte(data, size);
    const std::string input = nvfuzz::AsText(data, size);
    if (input.empty() || input.size() > NV_CREDENTIAL_FILE_MAX)
        return 0;

    char* cert = nullptr;
    char* key = nullptr;
    int certLen = 0;
    int keyLen = 0;
    if ((mode & 3) == 3) {
        // Raw ciphertext: nearly always a padding failure, which must end cleanly.
        int rc = brim_deccerts(input.data(), static_cast<int>(input.size()), &cert, &certLen, &key,
                               &keyLen);
        NV_FUZZ_CHECK(rc == 0 || rc == -3 || rc == -4 || rc == -5);
        NV_FUZZ_CHECK((rc == 0) == (cert != nullptr));
    } else {
        void* cipher = nullptr;
        int cipherLen = 0;
        NV_FUZZ_CHECK(BRIM_EncipherPlain(input.data(), static_cast<int>(input.size()), &cipher,
                                         &cipherLen) == 0);
        int rc = brim_deccerts(cipher, cipherLen, &cert, &certLen, &key, &keyLen);
        brim_decfree(cipher, cipherLen);
        CheckDeciphered(input, rc, cert, certLen, key, keyLen);
    }
    brim_decfree(cert, certLen);
    brim_decfree(key, keyLen);
    return 0;
}
