// Installation and removal against real NSS databases with the real certutil, in a temporary home.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "DesktopTestSupport.h"
#include "credentials/UserCredentials.h"
#include "desktop/Desktop.h"
#include "nv_config.h"

using namespace desktoptest;

namespace {

bool HaveTool(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

void CreateDb(const std::string& dir) {
    fs::create_directories(dir);
    ASSERT_EQ(0, std::system(
                     ("certutil -N -d 'sql:" + dir + "' --empty-password >/dev/null 2>&1").c_str()))
        << dir;
}

// Trust attributes with the letters of each field sorted and all three fields present ("CT,C,c").
std::string Normalised(const std::string& trust) {
    std::string out, field;
    std::istringstream fields(trust);
    for (bool first = true; std::getline(fields, field, ','); first = false) {
        std::sort(field.begin(), field.end());
        out += (first ? "" : ",") + field;
    }
    while (std::count(out.begin(), out.end(), ',') < 2)
        out += ",";
    return out;
}

// The normalised trust listed for the nickname, or "" when the database does not hold it.
std::string TrustOf(const std::string& db) {
    std::istringstream list(RunAndRead("certutil -L -d '" + db + "'"));
    for (std::string line; std::getline(list, line);) {
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        if (line.rfind(kNick, 0) != 0)
            continue;
        return Normalised(line.substr(line.find_last_of(' ') + 1));
    }
    return "";
}

class CertutilRun : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveTool("certutil"))
            GTEST_SKIP() << "certutil (libnss3-tools) is not installed";
        // The staged root certificate of the test build when it is there, else a throwaway CA.
        const std::string staged = std::string(NV_INSTALL_DIR) + "/" + NV_ROOT_CERT_FILE_NAME;
        if (!fs::exists(staged)) {
            const std::string ca = m_home.Root() + "/ca.cer";
            std::string cmd =
                "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout '" +
                m_home.Root() + "/ca.key' -out '" + ca +
                "' -days 2 -subj '/CN=Throwaway Test Root' -addext "
                "basicConstraints=critical,CA:TRUE"
                " >/dev/null 2>&1";
            ASSERT_EQ(0, std::system(cmd.c_str()));
            DMLinuxUtil_SetRootCertFile(ca.c_str());
        }
    }
    void TearDown() override { DMLinuxUtil_SetRootCertFile(nullptr); }

    TempHome m_home;
};

}  // namespace

TEST_F(CertutilRun, RegistThenDelete_EveryDatabaseGainsThenLosesTheRoot) {
    const std::string h = m_home.Path();
    const std::string shared = h + "/.pki/nssdb";
    const std::string ff = h + "/.mozilla/firefox";
    const std::string absolute = m_home.Root() + "/elsewhere/abs.profile";
    const std::string snapFf = h + "/snap/firefox/common/.mozilla/firefox";
    const std::string chromium = h + "/snap/chromium/current/.pki/nssdb";
    for (const auto& dir :
         {shared, ff + "/p1.default", ff + "/p2.work", absolute, snapFf + "/s1.default", chromium})
        CreateDb(dir);
    WriteFile(ff + "/profiles.ini",
              "[Profile0]\nName=one\nIsRelative=1\nPath=p1.default\n\n"
              "[Profile1]\nName=abs\nIsRelative=0\nPath=" +
                  absolute +
                  "\n\n"
                  "[Profile2]\nName=two\nPath=p2.work\nIsRelative=1\n");
    WriteFile(snapFf + "/profiles.ini", "[Profile0]\nName=snap\nIsRelative=1\nPath=s1.default\n");

    EXPECT_EQ(0, Regist_RootCert(/*ask=*/0));
    // The commands run in the background: wait for them to end, without fixed sleeps.
    ASSERT_EQ(0, DMLinuxUtil_CollectBackgroundCommands(120000));

    EXPECT_EQ(Normalised("TC"), TrustOf("sql:" + shared));
    for (const auto& p : {ff + "/p1.default", ff + "/p2.work"}) {
        EXPECT_EQ(Normalised("TC,C,c"), TrustOf(p)) << p;  // both forms of the argument
        EXPECT_EQ(Normalised("TC,C,c"), TrustOf("sql:" + p)) << p;
    }
    EXPECT_EQ(Normalised("TC,C,c"), TrustOf("sql:" + snapFf + "/s1.default"));
    EXPECT_EQ(Normalised("TC"), TrustOf("sql:" + chromium));
    EXPECT_EQ("", TrustOf("sql:" + absolute));  // IsRelative=0: untouched

    // A second installation replaces the entry: still exactly one, same trust.
    EXPECT_EQ(0, Regist_RootCert(0));
    ASSERT_EQ(0, DMLinuxUtil_CollectBackgroundCommands(120000));
    EXPECT_EQ(Normalised("TC"), TrustOf("sql:" + shared));

    EXPECT_EQ(3, Delete_RootCert());
    ASSERT_EQ(0, DMLinuxUtil_CollectBackgroundCommands(120000));

    for (const auto& db : {"sql:" + shared, ff + "/p1.default", "sql:" + ff + "/p2.work",
                           "sql:" + snapFf + "/s1.default", "sql:" + chromium, "sql:" + absolute})
        EXPECT_EQ("", TrustOf(db)) << db;
}

TEST_F(CertutilRun, Regist_NoProfilesIni_SharedDatabaseStillHandled) {
    const std::string shared = m_home.Path() + "/.pki/nssdb";
    CreateDb(shared);

    Regist_RootCert(0);
    ASSERT_EQ(0, DMLinuxUtil_CollectBackgroundCommands(120000));

    EXPECT_EQ(Normalised("TC"), TrustOf("sql:" + shared));
}

TEST_F(CertutilRun, Regist_UserNeverStartedChromium_SharedDatabaseIsCreatedAndTrusted) {
    // No ~/.pki yet: a browser started after the installation must still find the root there.
    const std::string shared = m_home.Path() + "/.pki/nssdb";
    ASSERT_FALSE(fs::exists(m_home.Path() + "/.pki"));

    Regist_RootCert(0);
    ASSERT_EQ(0, DMLinuxUtil_CollectBackgroundCommands(120000));

    EXPECT_EQ(Normalised("TC"), TrustOf("sql:" + shared));
    // The database holds the user's trust decisions: only the user may read or change it.
    EXPECT_EQ(fs::perms::owner_all, fs::status(shared).permissions() & fs::perms::all);
}

TEST_F(CertutilRun, Delete_NoSharedDatabase_CreatesNothing) {
    Delete_RootCert();
    ASSERT_EQ(0, DMLinuxUtil_CollectBackgroundCommands(120000));
    EXPECT_FALSE(fs::exists(m_home.Path() + "/.pki"));
}

TEST_F(CertutilRun, UsersOwnRootRenewed_ReplacesTheOldOneUnderTheSameNickname) {
    DMLinuxUtil_SetRootCertFile(nullptr);  // the user's own root, not a stand-in
    const std::string db = "sql:" + m_home.Path() + "/.pki/nssdb";
    const std::string inDb =
        "certutil -L -d '" + db + "' -n '" + kNick + "' -a | openssl x509 -noout -fingerprint";
    const std::string ofFile =
        "openssl x509 -noout -fingerprint -in '" + NV_UserRootCertFile() + "'";
    std::string what;
    ASSERT_EQ(1, NV_EnsureUserCredentials(&what)) << what;
    Regist_RootCert(0);
    ASSERT_EQ(0, DMLinuxUtil_CollectBackgroundCommands(120000));
    const std::string first = RunAndRead(ofFile);
    ASSERT_NE("", first);
    EXPECT_EQ(first, RunAndRead(inDb));

    // A set whose key others could read is replaced by the next installation, root and all.
    fs::permissions(NV_UserCredentialFile(), fs::perms::others_read, fs::perm_options::add);
    ASSERT_EQ(1, NV_EnsureUserCredentials(&what)) << what;
    const std::string second = RunAndRead(ofFile);
    ASSERT_NE(first, second);
    Regist_RootCert(0);
    ASSERT_EQ(0, DMLinuxUtil_CollectBackgroundCommands(120000));

    EXPECT_EQ(second, RunAndRead(inDb));
    std::istringstream list(RunAndRead("certutil -L -d '" + db + "'"));
    int entries = 0;
    for (std::string line; std::getline(list, line);)
        entries += line.rfind(kNick, 0) == 0 ? 1 : 0;
    EXPECT_EQ(1, entries);
}
