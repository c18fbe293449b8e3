// The credentials tool's library: issues an installation's own root CA and the server certificate
// that the daemon serves, and writes the two files the daemon and the desktop integration read:
// the root CA certificate (PEM) and the enciphered credential file holding the server certificate
// and its unencrypted PEM key, enciphered by the daemon's own code.
//
// The root CA may vouch only for the local endpoint: a critical name constraint permits nothing but
// IP 127.0.0.1 and DNS localhost, so a user who trusts it trusts no other site. Its private key
// exists only in this object's memory and is dropped (OpenSSL clears the key material as it frees
// it) once the server certificate is signed.
#pragma once

#include <openssl/types.h>

#include <memory>
#include <string>

// Validity of the issued certificates, in days (20 and 10 years, leap days included).
#define NV_ROOT_CA_VALID_DAYS 7305
#define NV_SERVER_CERT_VALID_DAYS 3653

// Exit codes of the command.
#define NV_CREDTOOL_OK 0
#define NV_CREDTOOL_USAGE 1
#define NV_CREDTOOL_EXISTS 2
#define NV_CREDTOOL_FAILED 3

// Issues one set of credentials. Used on one thread; not copyable.
class CCredentialIssuer {
public:
    CCredentialIssuer();
    ~CCredentialIssuer();
    CCredentialIssuer(const CCredentialIssuer&) = delete;
    CCredentialIssuer& operator=(const CCredentialIssuer&) = delete;

    // Generates the CA key and self-signed CA certificate. 0, or -1 (reason in *error).
    int CreateRootCA(std::string* error);
    // Generates the server key and a certificate for 127.0.0.1 / localhost signed by the CA.
    int IssueServerCert(std::string* error);
    // Issues one more end-entity certificate, for `dnsName`, with the server certificate's profile
    // but no checks on the name. Exists so that tests can prove the CA's name constraint refuses
    // other names; the command never calls it. Needs the CA key.
    int IssueLeafForName(const char* dnsName, std::string* certPem, std::string* keyPem,
                         std::string* error);
    // Frees the CA key. Called as soon as the certificates are signed.
    void DropCAKey();
    bool HasCAKey() const;

    const std::string& RootCertPem() const { return m_rootCertPem; }
    const std::string& ServerCertPem() const { return m_serverCertPem; }

    // Writes the root certificate and the credential file into `dir` (created when missing, one
    // level). Without `force` an existing file of either name is left alone and NV_CREDTOOL_EXISTS
    // is returned. NV_CREDTOOL_OK or NV_CREDTOOL_FAILED otherwise. An installation's files are
    // readable by all (directory 0755, files 0644); a user's own (`userPrivate`) by the user
    // alone: the directory, which must then be the user's, is made 0700 and the files 0600.
    int WriteFiles(const std::string& dir, bool force, std::string* error,
                   bool userPrivate = false) const;

private:
    struct Keys;
    std::unique_ptr<Keys> m_keys;
    std::string m_rootCertPem;
    std::string m_serverCertPem;
    std::string m_serverKeyPem;  // secret: wiped by the destructor
};

// The command's whole job: a fresh CA and server certificate, the CA key dropped, both files
// written. Returns one of the exit codes above; the reason for a failure is in *error.
int NV_GenerateCredentials(const std::string& dir, bool force, std::string* error);
