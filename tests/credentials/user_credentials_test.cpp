// A user's own credentials: where they live, the checks a credential file must pass, and their
// issuing, replacement and renewal at installation. Every case works in a temporary home given as
// -H would give it, with XDG_DATA_HOME cleared unless a case sets it.
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "TestFiles.h"
#include "credentials/CredentialFile.h"
#include "credentials/OpenSslOwners.h"
#include "credentials/UserCredentials.h"
#include "nv_config.h"
#include "support/LinuxUtil.h"

namespace {

namespace fs = std::filesystem;

X509Ptr ParseCert(const std::string& pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

unsigned ModeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0xFFFFu;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// A temporary home set as the home directory, XDG_DATA_HOME cleared; both restored afterwards.
class UserCredentials : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_tmp.Path().empty());
        m_home = m_tmp.File("home");
        fs::create_directories(m_home);
        const char* xdg = std::getenv("XDG_DATA_HOME");
        m_hadXdg = xdg != nullptr;
        if (m_hadXdg)
            m_savedXdg = xdg;
        unsetenv("XDG_DATA_HOME");
        m_savedHome = DMLinuxUtil_GetUserHOMEDir();
        DMLinuxUtil_SetUserHOMEDir(m_home.c_str());
        m_dir = m_home + "/.local/share/" NV_PROGRAM_NAME;
    }
    void TearDown() override {
        DMLinuxUtil_SetUserHOMEDir(m_savedHome.c_str());
        if (m_hadXdg)
            setenv("XDG_DATA_HOME", m_savedXdg.c_str(), 1);
        else
            unsetenv("XDG_DATA_HOME");
    }

    std::string Cred() const { return m_dir + "/" NV_CREDENTIAL_FILE_NAME; }
    std::string Root() const { return m_dir + "/" NV_ROOT_CERT_FILE_NAME; }

    // Issues the user's set, or keeps it when it is good already.
    void Issue() {
        std::string what;
        ASSERT_GE(NV_EnsureUserCredentials(&what), 0) << what;
    }

    // A root CA valid for years and a server certificate under it ending in `serverDays` days,
    // written as the user's own files (the credential file enciphered by the daemon's own code).
    void WriteOwnSet(int serverDays) {
        fs::create_directories(m_dir);
        const std::string w = m_tmp.Path();
        const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes ";
        ShellResult made = RunShell(
            "cd '" + w + "' && openssl req -x509" + ec +
            "-keyout ca.key -out ca.cer -days 7000 -subj /CN=Old -addext "
            "basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign && "
            "openssl req -new" +
            ec + "-keyout srv.key -out srv.csr -subj /CN=localhost && " +
            "openssl x509 -req -in srv.csr -CA ca.cer -CAkey ca.key -CAcreateserial -out srv.cer "
            "-days " +
            std::to_string(serverDays));
        ASSERT_EQ(made.status, 0) << made.output;
        const std::string cert = ReadWholeFile(w + "/srv.cer");
        const std::string key = ReadWholeFile(w + "/srv.key");
        void* image = nullptr;
        int len = 0;
        ASSERT_EQ(brim_enccerts(cert.data(), static_cast<int>(cert.size()), key.data(),
                                static_cast<int>(key.size()), &image, &len),
                  0);
        const bool written = WriteWholeFile(
            Cred(), std::string(static_cast<char*>(image), static_cast<size_t>(len)));
        brim_decfree(image, len);
        ASSERT_TRUE(written);
        ASSERT_EQ(chmod(Cred().c_str(), 0600), 0);
        ASSERT_TRUE(WriteWholeFile(Root(), ReadWholeFile(w + "/ca.cer")));
    }

    TempDir m_tmp;
    std::string m_home;
    std::string m_dir;
    std::string m_savedHome;
    std::string m_savedXdg;
    bool m_hadXdg = false;
};

}  // namespace

TEST_F(UserCredentials, Ensure_FreshHome_IssuesPrivateFilesOfTheirOwnThenKeepsThem) {
    EXPECT_EQ(NV_UserCredentialDir(), m_dir);
    EXPECT_EQ(NV_UserCredentialFile(), Cred());
    EXPECT_EQ(NV_UserRootCertFile(), Root());

    std::string what;
    ASSERT_EQ(NV_EnsureUserCredentials(&what), 1);
    EXPECT_TRUE(StartsWith(what, "issued in " + m_dir + " (no credentials")) << what;
    // The data directories made on the way are private, as the XDG rules want them.
    for (const std::string& dir : {m_home + "/.local", m_home + "/.local/share", m_dir})
        EXPECT_EQ(ModeOf(dir), 0700u) << dir;
    EXPECT_EQ(ModeOf(Cred()), 0600u);
    EXPECT_EQ(ModeOf(Root()), 0600u);

    // The pair verifies against the user's root, and against no other root.
    const std::string verify = "openssl verify -purpose sslserver -CAfile ";
    const std::string leaf = m_tmp.File("leaf.pem");
    DEC_CERT cert;
    ASSERT_EQ(LoadEncryptedCert(Cred().c_str(), &cert), 0);
    ASSERT_TRUE(WriteWholeFile(leaf, std::string(cert.pCert, static_cast<size_t>(cert.nCertLen))));
    EXPECT_EQ(RunShell(verify + "'" + Root() + "' '" + leaf + "'").status, 0);
    const std::string machineRoot = NV_MachineRootCertFile();
    if (fs::exists(machineRoot)) {
        EXPECT_NE(ReadWholeFile(Root()), ReadWholeFile(machineRoot));
        EXPECT_NE(RunShell(verify + "'" + machineRoot + "' '" + leaf + "'").status, 0);
    }
    // The root carries the credentials tool's name constraint.
    X509Ptr root = ParseCert(ReadWholeFile(Root()));
    ASSERT_TRUE(root);
    const int nc = X509_get_ext_by_NID(root.get(), NID_name_constraints, -1);
    ASSERT_GE(nc, 0);
    EXPECT_EQ(X509_EXTENSION_get_critical(X509_get_ext(root.get(), nc)), 1);

    // A second installation keeps what is good.
    const std::string rootBefore = ReadWholeFile(Root());
    const std::string credBefore = ReadWholeFile(Cred());
    EXPECT_EQ(NV_CheckUserCredentials(m_dir, &what), NV_USERCREDS_GOOD) << what;
    EXPECT_EQ(NV_EnsureUserCredentials(&what), 0);
    EXPECT_TRUE(StartsWith(what, "kept: the user's own credentials in " + m_dir)) << what;
    EXPECT_EQ(ReadWholeFile(Root()), rootBefore);
    EXPECT_EQ(ReadWholeFile(Cred()), credBefore);

    // A second user's installation issues a root of its own.
    TempDir other;
    DMLinuxUtil_SetUserHOMEDir(other.Path().c_str());
    ASSERT_EQ(NV_EnsureUserCredentials(&what), 1) << what;
    EXPECT_NE(ReadWholeFile(NV_UserRootCertFile()), rootBefore);
}

TEST_F(UserCredentials, DataDirectory_XdgDataHomeWhenAbsolute_NothingWithoutAHome) {
    // Made with every missing level, private.
    const std::string xdg = m_tmp.File("xdg/data");
    setenv("XDG_DATA_HOME", xdg.c_str(), 1);
    EXPECT_EQ(NV_UserCredentialDir(), xdg + "/" NV_PROGRAM_NAME);
    Issue();
    EXPECT_EQ(ModeOf(m_tmp.File("xdg")), 0700u);
    EXPECT_EQ(ModeOf(xdg), 0700u);
    EXPECT_TRUE(fs::exists(xdg + "/" NV_PROGRAM_NAME "/" NV_CREDENTIAL_FILE_NAME));
    EXPECT_FALSE(fs::exists(m_home + "/.local"));

    // A relative value is invalid and ignored.
    setenv("XDG_DATA_HOME", "relative/share", 1);
    EXPECT_EQ(NV_UserCredentialDir(), m_dir);

    // Without an absolute home directory there is no place for them: nothing is issued.
    unsetenv("XDG_DATA_HOME");
    DMLinuxUtil_SetUserHOMEDir("");
    EXPECT_EQ(NV_UserCredentialDir(), "");
    std::string what;
    EXPECT_EQ(NV_EnsureUserCredentials(&what), -1);
    EXPECT_EQ(what, "not issued: no home directory");
}

TEST_F(UserCredentials, UnusableSets_AreReportedAndReplacedByTheInstallation) {
    struct Case {
        const char* name;
        void (*spoil)(const std::string& cred, const std::string& root);
        std::string why;  // the reason's text after the folder's path
    };
    const Case cases[] = {
        {"root missing", [](const std::string&, const std::string& root) { fs::remove(root); },
         "/" NV_ROOT_CERT_FILE_NAME " is missing"},
        {"credential file missing",
         [](const std::string& cred, const std::string&) { fs::remove(cred); },
         "/" NV_CREDENTIAL_FILE_NAME " is missing"},
        {"readable by others",
         [](const std::string& cred, const std::string&) { chmod(cred.c_str(), 0644); },
         "/" NV_CREDENTIAL_FILE_NAME " refused: readable by other users (mode 0644)"},
        {"root not a regular file",
         [](const std::string&, const std::string& root) {
             fs::remove(root);
             mkfifo(root.c_str(), 0600);
         },
         "/" NV_ROOT_CERT_FILE_NAME " is not a regular file"},
        {"not deciphered",
         [](const std::string& cred, const std::string&) {
             WriteWholeFile(cred, std::string(64, 'x'));
         },
         "/" NV_CREDENTIAL_FILE_NAME " cannot be deciphered (code -3)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Issue();
        c.spoil(Cred(), Root());
        std::string why;
        EXPECT_EQ(NV_CheckUserCredentials(m_dir, &why), NV_USERCREDS_BAD);
        EXPECT_EQ(why, m_dir + c.why);
        std::string what;
        ASSERT_EQ(NV_EnsureUserCredentials(&what), 1);
        EXPECT_EQ(what, "replaced in " + m_dir + " (" + m_dir + c.why + ")");
        EXPECT_EQ(NV_CheckUserCredentials(m_dir, &why), NV_USERCREDS_GOOD) << why;
        EXPECT_EQ(ModeOf(Cred()), 0600u);
    }

    // A root from another issuing does not belong to the pair.
    Issue();
    const std::string ownRoot = ReadWholeFile(Root());
    TempDir other;
    DMLinuxUtil_SetUserHOMEDir(other.Path().c_str());
    Issue();
    const std::string otherRoot = ReadWholeFile(NV_UserRootCertFile());
    DMLinuxUtil_SetUserHOMEDir(m_home.c_str());
    ASSERT_TRUE(WriteWholeFile(Root(), otherRoot));
    std::string why;
    EXPECT_EQ(NV_CheckUserCredentials(m_dir, &why), NV_USERCREDS_BAD);
    EXPECT_EQ(why, Cred() + " and " + Root() + " do not belong together");
    EXPECT_NE(ownRoot, otherRoot);
}

TEST_F(UserCredentials, Renewal_WithinAYearOfTheEnd_NewPairAndNewRoot) {
    // 400 days left: beyond the margin, kept.
    WriteOwnSet(400);
    std::string why;
    EXPECT_EQ(NV_CheckUserCredentials(m_dir, &why), NV_USERCREDS_GOOD) << why;

    // 300 days left: renewed, with a root of its own, by the issuer's profile again.
    WriteOwnSet(300);
    const std::string oldRoot = ReadWholeFile(Root());
    EXPECT_EQ(NV_CheckUserCredentials(m_dir, &why), NV_USERCREDS_RENEW);
    EXPECT_TRUE(StartsWith(why, "the server certificate ends within 365 days (")) << why;
    std::string what;
    ASSERT_EQ(NV_EnsureUserCredentials(&what), 1);
    EXPECT_TRUE(StartsWith(what, "renewed in " + m_dir + " (the server certificate ends")) << what;
    EXPECT_NE(ReadWholeFile(Root()), oldRoot);
    EXPECT_EQ(NV_CheckUserCredentials(m_dir, &why), NV_USERCREDS_GOOD) << why;
    EXPECT_EQ(ModeOf(Cred()), 0600u);
    EXPECT_EQ(ModeOf(Root()), 0600u);
}

TEST_F(UserCredentials, FolderNotTheUsersOwnDirectory_NothingWritten) {
    // The program's folder is a link to a directory elsewhere: the secret would land there.
    const std::string elsewhere = m_tmp.File("elsewhere");
    fs::create_directories(elsewhere);
    fs::create_directories(m_home + "/.local/share");
    fs::create_directory_symlink(elsewhere, m_dir);
    std::string what;
    EXPECT_EQ(NV_EnsureUserCredentials(&what), -1);
    EXPECT_EQ(what, "not issued: " + m_dir + " is not a directory of this user");
    EXPECT_TRUE(fs::is_empty(elsewhere));
}

TEST_F(UserCredentials, OpenPrivate_RefusesWhatAnotherUserCouldReadOrWrite) {
    Issue();
    std::string why;
    const int fd = NV_OpenPrivateCredentialFile(Cred(), &why);
    EXPECT_GE(fd, 0) << why;
    if (fd >= 0)
        close(fd);

    EXPECT_EQ(NV_OpenPrivateCredentialFile(m_tmp.File("none"), &why), -1);
    EXPECT_EQ(why, "no credential file of the user's own at " + m_tmp.File("none"));

    const struct {
        unsigned mode;
        const char* text;
    } modes[] = {{0640, "readable by other users (mode 0640)"},
                 {0604, "readable by other users (mode 0604)"},
                 {0620, "writable by other users (mode 0620)"},
                 {0610, "open to other users (mode 0610)"}};
    for (const auto& m : modes) {
        ASSERT_EQ(chmod(Cred().c_str(), m.mode), 0);
        EXPECT_EQ(NV_OpenPrivateCredentialFile(Cred(), &why), -2);
        EXPECT_EQ(why, Cred() + " refused: " + m.text);
    }
    ASSERT_EQ(chmod(Cred().c_str(), 0600), 0);

    // A directory or a FIFO in the file's place is refused without blocking.
    const std::string dir = m_tmp.File("dir");
    fs::create_directories(dir);
    EXPECT_EQ(NV_OpenPrivateCredentialFile(dir, &why), -2);
    EXPECT_EQ(why, dir + " refused: not a regular file");
    const std::string fifo = m_tmp.File("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(NV_OpenPrivateCredentialFile(fifo, &why), -2);
    EXPECT_EQ(why, fifo + " refused: not a regular file");

    // Another user's file, however private, is not the user's own.
    if (geteuid() == 0) {
        ASSERT_EQ(chown(Cred().c_str(), 65534, 65534), 0);
        EXPECT_EQ(NV_OpenPrivateCredentialFile(Cred(), &why), -2);
        EXPECT_EQ(why, Cred() + " refused: not owned by the user (owner uid 65534)");
    }
}
