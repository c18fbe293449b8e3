// Installing the credentials into a TLS context, and the init_ssl callback that reads the
// installed credential file.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "credentials/CredentialIssuer.h"
#include "nv_config.h"
#include "server/DMServer.h"
#include "server/TlsCredentials.h"

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

// The callback always reads the installed file; test builds stage a test set there.
class InitSSLCallback : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(NV_INSTALL_DIR "/" NV_CREDENTIAL_FILE_NAME))
            GTEST_SKIP() << "no staged credential file (configure with -DNV_TEST_PATHS=ON)";
    }
};

TEST_F(InitSSLCallback, StagedCredentials_InstalledAndLogged) {
    LogCapture cap;
    CtxPtr ctx = NewServerCtx();
    ASSERT_EQ(MG_InitSSLCB(ctx.get(), nullptr), 1);
    EXPECT_EQ(SSL_CTX_check_private_key(ctx.get()), 1);
    EXPECT_EQ(cap.Lines(),
              std::vector<std::string>{"CDMServer::CDMServer Success = load SSL certificate"});
}

TEST_F(InitSSLCallback, ContextRefusesCertificate_RefusesToServeAndKeyNotLoaded) {
    LogCapture cap;
    CtxPtr ctx = NewServerCtx();
    SSL_CTX_set_security_level(ctx.get(), 5);
    EXPECT_EQ(MG_InitSSLCB(ctx.get(), nullptr), -1);
    EXPECT_EQ(cap.Lines(), (std::vector<std::string>{
                               "CDMServer::CDMServer Success = load SSL certificate",
                               "CDMServer::CDMServer Error = [Failed to regist SSL certificate]"}));
    EXPECT_EQ(SSL_CTX_get0_certificate(ctx.get()), nullptr);
    EXPECT_EQ(SSL_CTX_get0_privatekey(ctx.get()), nullptr);
}
