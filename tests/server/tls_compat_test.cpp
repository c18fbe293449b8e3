// The OpenSSL compatibility libraries: CivetWeb serves TLS through them, also on a machine without
// libssl-dev's unversioned symlinks, and NV_PrepareTls refuses when they are missing.
//
// The machine state without libssl-dev is made in a private mount namespace: the library
// directory is replaced by a directory of symlinks to every entry but libssl.so and libcrypto.so.
// Each probe runs as its own process (tls_probe.cpp) on a port of the test range.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "LogCapture.h"
#include "TestFiles.h"
#include "nv_config.h"
#include "server/TlsCompat.h"

namespace fs = std::filesystem;

namespace {

const std::string kProbe = std::string("'") + NV_TLS_PROBE_PATH + "'";
const std::string kRootCa =
    std::string("'") + NV_BINARY_DIR "/testcreds/" NV_ROOT_CERT_FILE_NAME + "'";

// Exit status the namespace script uses when a mount is not permitted.
const int kMountRefused = 77;

// A private mount namespace without libssl-dev's unversioned symlinks (and, when asked, without
// the compatibility libraries), in which `commands` run as a shell script.
class HiddenDevSymlinks : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(NV_PRIVATE_LIB_DIR "/libssl.so"))
            GTEST_SKIP()
                << "compatibility libraries not staged (configure with -DNV_TEST_PATHS=ON)";
        if (RunShell("unshare --mount --propagation private true").status != 0)
            GTEST_SKIP() << "private mount namespaces are not permitted here (unshare -m failed)";
        std::string tmpl = (fs::temp_directory_path() / "nvnoss.XXXXXX").string();
        ASSERT_NE(mkdtemp(&tmpl[0]), nullptr);
        m_dir = tmpl;
        ASSERT_EQ(mkdir((m_dir + "/orig").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((m_dir + "/shadow").c_str(), 0755), 0);
        for (const auto& entry : fs::directory_iterator(NV_OPENSSL_LIB_DIR)) {
            const std::string name = entry.path().filename().string();
            if (name == "libssl.so" || name == "libcrypto.so")
                continue;
            ASSERT_EQ(
                symlink((m_dir + "/orig/" + name).c_str(), (m_dir + "/shadow/" + name).c_str()), 0);
        }
    }

    void TearDown() override {
        // Never remove recursively below orig: if its bind mount were somehow still in place, that
        // would delete the system's libraries. shadow holds only symlinks, and rmdir fails on a
        // directory that is not empty.
        if (m_dir.empty())
            return;
        std::error_code ec;
        fs::remove_all(m_dir + "/shadow", ec);
        rmdir((m_dir + "/orig").c_str());
        unlink((m_dir + "/script.sh").c_str());
        rmdir(m_dir.c_str());
    }

    ShellResult RunHidden(const std::string& commands, bool hideCompat) {
        std::string script = "lib='" NV_OPENSSL_LIB_DIR "'\n";
        script += "mount --bind \"$lib\" '" + m_dir + "/orig' || exit 77\n";
        script += "mount --bind '" + m_dir + "/shadow' \"$lib\" || exit 77\n";
        if (hideCompat)
            script += "mount -t tmpfs nvhide '" NV_PRIVATE_LIB_DIR "' || exit 77\n";
        script += commands + "\n";
        EXPECT_TRUE(WriteWholeFile(m_dir + "/script.sh", script));
        return RunShell("unshare --mount --propagation private sh '" + m_dir + "/script.sh'");
    }

    std::string m_dir;
};

}  // namespace

TEST(NV_PrepareTls, CompatibilityLibrariesStaged_ReportsTls) {
    if (!fs::exists(NV_PRIVATE_LIB_DIR "/libssl.so"))
        GTEST_SKIP() << "compatibility libraries not staged (configure with -DNV_TEST_PATHS=ON)";
    LogCapture cap;
    EXPECT_EQ(NV_PrepareTls(), 1);
    EXPECT_EQ(NV_PrepareTls(), 1);  // a second server start in the same process
    EXPECT_TRUE(cap.Lines().empty());
}

TEST(TlsCompat, WithoutCompatibilityLibraries_CivetWebReportsNoTls) {
    // The reason for the guard: OpenSSL 3 lacks a function CivetWeb requires, so its own loading
    // fails even where libssl-dev is installed, and serving would crash.
    const ShellResult r = RunShell(kProbe + " bare");
    EXPECT_EQ(r.status, 0) << r.output;
}

TEST(TlsCompat, NormalMachine_TlsRequestVerifiesAndIsAnswered) {
    if (!fs::exists(NV_PRIVATE_LIB_DIR "/libssl.so") ||
        !fs::exists(NV_INSTALL_DIR "/" NV_CREDENTIAL_FILE_NAME))
        GTEST_SKIP() << "needs the staged install directory (configure with -DNV_TEST_PATHS=ON)";
    const ShellResult r = RunShell(kProbe + " serve 25441 " + kRootCa);
    EXPECT_EQ(r.status, 0) << r.output;
}

TEST_F(HiddenDevSymlinks, TlsRequestVerifiesAndIsAnswered) {
    const ShellResult r =
        RunHidden(kProbe + " hidden || exit 10\n" + kProbe + " serve 25442 " + kRootCa,
                  /*hideCompat=*/false);
    if (r.status == kMountRefused)
        GTEST_SKIP() << "mounts refused in the namespace: " << r.output;
    EXPECT_EQ(r.status, 0) << r.output;
}

TEST_F(HiddenDevSymlinks, CompatibilityLibrariesMissing_PrepareTlsRefusesAndSaysWhy) {
    const ShellResult r = RunHidden(kProbe + " refuse", /*hideCompat=*/true);
    if (r.status == kMountRefused)
        GTEST_SKIP() << "mounts refused in the namespace: " << r.output;
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("log: [TLS] can not load " NV_PRIVATE_LIB_DIR "/libcrypto.so : "),
              std::string::npos)
        << r.output;
}
