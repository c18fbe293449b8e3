// Installing the credentials into a TLS context, and the init_ssl callback that reads the
// installed credential file.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "TestFiles.h"
#include "credentials/CredentialIssuer.h"
#include "credentials/OpenSslOwners.h"
#include "credentials/UserCredentials.h"
#include "nv_config.h"
#include "server/DMServer.h"
#include "server/TlsCredentials.h"
#include "support/LinuxUtil.h"

namespace {

// One certificate and key for the whole suite (issuing costs a key generation each).
class Credentials : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        CCredentialIssuer issuer;
        std::string error;
        ASSERT_EQ(issuer.CreateRootCA(&error), 0) << error;
        ASSERT_EQ(issuer.IssueLeafForName("localhost", &s_certPem, &s_keyPem, &error), 0) << error;
    }
    static std::string s_certPem;
    static std::string s_keyPem;
    const std::string* s_cert = &s_certPem;
    const std::string* s_key = &s_keyPem;
};
std::string Credentials::s_certPem;
std::string Credentials::s_keyPem;

struct CtxFree {
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};
using CtxPtr = std::unique_ptr<SSL_CTX, CtxFree>;
CtxPtr NewServerCtx() {
    return CtxPtr(SSL_CTX_new(TLS_server_method()));
}

}  // namespace

TEST_F(Credentials, UseFromMemory_InstallsMatchingPair) {
    CtxPtr ctx = NewServerCtx();
    ASSERT_TRUE(ctx);
    EXPECT_EQ(
        UseCertificateFromMemory(ctx.get(), s_cert->c_str(), static_cast<int>(s_cert->size())), 0);
    EXPECT_EQ(UsePrivateKeyFromMemory(ctx.get(), s_key->c_str(), static_cast<int>(s_key->size())),
              0);
    EXPECT_EQ(SSL_CTX_check_private_key(ctx.get()), 1);
}

TEST_F(Credentials, UseFromMemory_Failures) {
    CtxPtr ctx = NewServerCtx();
    ASSERT_TRUE(ctx);
    const int certLen = static_cast<int>(s_cert->size());
    EXPECT_EQ(UseCertificateFromMemory(nullptr, s_cert->c_str(), certLen), -1);
    EXPECT_EQ(UseCertificateFromMemory(ctx.get(), nullptr, certLen), -1);
    EXPECT_EQ(UseCertificateFromMemory(ctx.get(), "", 0), -1);
    EXPECT_EQ(UseCertificateFromMemory(ctx.get(), "not a pem", 9), -3);
    // The key is no certificate, and a cut certificate does not parse.
    EXPECT_EQ(UseCertificateFromMemory(ctx.get(), s_key->c_str(), static_cast<int>(s_key->size())),
              -3);
    EXPECT_EQ(UseCertificateFromMemory(ctx.get(), s_cert->c_str(), certLen / 2), -3);

    EXPECT_EQ(UsePrivateKeyFromMemory(nullptr, s_key->c_str(), 10), -1);
    EXPECT_EQ(UsePrivateKeyFromMemory(ctx.get(), "", 0), -1);
    EXPECT_EQ(UsePrivateKeyFromMemory(ctx.get(), s_cert->c_str(), certLen), -1);
    EXPECT_EQ(SSL_CTX_get0_privatekey(ctx.get()), nullptr);

    // A context whose security level wants more than a P-256 key offers refuses the certificate.
    CtxPtr strict = NewServerCtx();
    SSL_CTX_set_security_level(strict.get(), 5);
    EXPECT_EQ(UseCertificateFromMemory(strict.get(), s_cert->c_str(), certLen), -4);
}

TEST(MG_InitSSLCB, NullContext_RefusesToServe) {
    EXPECT_EQ(MG_InitSSLCB(nullptr, nullptr), -1);
}

// The callback reads the user's own credential file when it is usable and the installed file
// otherwise; test builds stage a test set there. The user's home is a temporary one.
class InitSSLCallback : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(NV_INSTALL_DIR "/" NV_CREDENTIAL_FILE_NAME))
            GTEST_SKIP() << "no staged credential file (configure with -DNV_TEST_PATHS=ON)";
        const char* xdg = std::getenv("XDG_DATA_HOME");
        m_savedXdg = xdg != nullptr ? std::make_unique<std::string>(xdg) : nullptr;
        unsetenv("XDG_DATA_HOME");
        m_savedHome = DMLinuxUtil_GetUserHOMEDir();
        DMLinuxUtil_SetUserHOMEDir(m_home.Path().c_str());
        m_userFile = m_home.Path() + "/.local/share/" NV_PROGRAM_NAME "/" NV_CREDENTIAL_FILE_NAME;
    }
    void TearDown() override {
        if (m_savedHome.empty() && m_userFile.empty())
            return;  // skipped
        DMLinuxUtil_SetUserHOMEDir(m_savedHome.c_str());
        if (m_savedXdg)
            setenv("XDG_DATA_HOME", m_savedXdg->c_str(), 1);
    }

    // The line naming the file used and why.
    static std::string Line(const std::string& path, const std::string& why) {
        return "CDMServer::CDMServer SSL credentials = [" + path + "] (" + why + ")";
    }
    // The certificate inside a credential file, to compare with what a context serves.
    static X509Ptr CertIn(const std::string& path) {
        DEC_CERT cert;
        if (LoadEncryptedCert(path.c_str(), &cert) != 0)
            return nullptr;
        BioPtr bio(BIO_new_mem_buf(cert.pCert, cert.nCertLen));
        return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    }

    TempDir m_home;
    std::string m_savedHome;
    std::unique_ptr<std::string> m_savedXdg;
    std::string m_userFile;
    const std::string m_machineFile = NV_INSTALL_DIR "/" NV_CREDENTIAL_FILE_NAME;
};

TEST_F(InitSSLCallback, StagedCredentials_InstalledAndLogged) {
    LogCapture cap;
    CtxPtr ctx = NewServerCtx();
    ASSERT_EQ(MG_InitSSLCB(ctx.get(), nullptr), 1);
    EXPECT_EQ(SSL_CTX_check_private_key(ctx.get()), 1);
    EXPECT_EQ(cap.Lines(),
              (std::vector<std::string>{
                  Line(m_machineFile, "no credential file of the user's own at " + m_userFile),
                  "CDMServer::CDMServer Success = load SSL certificate"}));
}

TEST_F(InitSSLCallback, UserCredentials_ServedWhenPrivate_MachineOtherwiseWithTheReason) {
    std::string what;
    ASSERT_EQ(NV_EnsureUserCredentials(&what), 1) << what;
    X509Ptr own = CertIn(m_userFile);
    X509Ptr machine = CertIn(m_machineFile);
    ASSERT_TRUE(own && machine);
    ASSERT_NE(X509_cmp(own.get(), machine.get()), 0);

    struct Case {
        const char* name;
        void (*spoil)(const std::string& file);
        bool servesOwn;
        std::string why;
    };
    const Case cases[] = {
        {"private", [](const std::string&) {}, true, "the user's own credential file"},
        {"readable by others", [](const std::string& file) { chmod(file.c_str(), 0644); }, false,
         m_userFile + " refused: readable by other users (mode 0644)"},
        {"not deciphered",
         [](const std::string& file) {
             chmod(file.c_str(), 0600);
             WriteWholeFile(file, std::string(64, 'x'));
         },
         false, m_userFile + " refused: cannot be deciphered (code -3)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.spoil(m_userFile);
        LogCapture cap;
        CtxPtr ctx = NewServerCtx();
        ASSERT_EQ(MG_InitSSLCB(ctx.get(), nullptr), 1);
        EXPECT_EQ(SSL_CTX_check_private_key(ctx.get()), 1);
        EXPECT_EQ(
            X509_cmp(SSL_CTX_get0_certificate(ctx.get()), c.servesOwn ? own.get() : machine.get()),
            0);
        EXPECT_EQ(cap.Lines(), (std::vector<std::string>{
                                   Line(c.servesOwn ? m_userFile : m_machineFile, c.why),
                                   "CDMServer::CDMServer Success = load SSL certificate"}));
    }

    // Another user's file, however private, is not the user's own.
    if (geteuid() == 0) {
        ASSERT_EQ(NV_EnsureUserCredentials(&what), 1) << what;
        ASSERT_EQ(chown(m_userFile.c_str(), 65534, 65534), 0);
        LogCapture cap;
        CtxPtr ctx = NewServerCtx();
        ASSERT_EQ(MG_InitSSLCB(ctx.get(), nullptr), 1);
        EXPECT_EQ(X509_cmp(SSL_CTX_get0_certificate(ctx.get()), machine.get()), 0);
        EXPECT_EQ(
            cap.Lines().at(0),
            Line(m_machineFile, m_userFile + " refused: not owned by the user (owner uid 65534)"));
    }
}

TEST_F(InitSSLCallback, ContextRefusesCertificate_RefusesToServeAndKeyNotLoaded) {
    LogCapture cap;
    CtxPtr ctx = NewServerCtx();
    SSL_CTX_set_security_level(ctx.get(), 5);
    EXPECT_EQ(MG_InitSSLCB(ctx.get(), nullptr), -1);
    EXPECT_EQ(cap.Lines(),
              (std::vector<std::string>{
                  Line(m_machineFile, "no credential file of the user's own at " + m_userFile),
                  "CDMServer::CDMServer Success = load SSL certificate",
                  "CDMServer::CDMServer Error = [Failed to regist SSL certificate]"}));
    EXPECT_EQ(SSL_CTX_get0_certificate(ctx.get()), nullptr);
    EXPECT_EQ(SSL_CTX_get0_privatekey(ctx.get()), nullptr);
}
