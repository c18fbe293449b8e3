// Faults around the built daemon (its log-to-stderr build, so that its reports can be read): the
// module missing, refusing InitSite_external, without InvokeSite_external, replying null, or
// blocking for 30 s; the credential file missing, truncated or enciphered with another key; all
// five ports taken; clients that leave while their module call runs. Other files are put at the
// daemon's fixed paths in a private mount namespace (CAP_SYS_ADMIN, skipped without it), so nothing
// outside the test changes. The unit tests of the bridge, the credentials and the port test cover the same faults
// function by function; these check what a page sees from the running program.
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "Loopback.h"
#include "credentials/CredentialFile.h"
#include "tests/hostile/HostileSupport.h"

using namespace nvhostile;
namespace fs = std::filesystem;

namespace {

const std::string kCredentialPath = std::string(NV_INSTALL_DIR) + "/" + NV_CREDENTIAL_FILE_NAME;

std::string CallText(const std::string& id, const std::string& origin,
                     const std::string& extra = std::string()) {
    return "{\"id\":\"" + id + "\",\"tabid\":\"t\",\"origin\":\"" + origin + "\"" + extra + "}";
}
std::string CollectText(const std::string& id, const std::string& origin) {
    return CallText(id, origin, ",\"cmd\":\"GET_RESULT\"");
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// ---- The module ------------------------------------------------------------------------------------

struct ModuleFault {
    const char* name;
    std::vector<Daemon::Bind> binds;
    std::string request;      // extra request members
    std::string expectedLog;  // the bridge's report
};

TEST(HostileFaults,
     ModuleMissingRefusingIncompleteOrNull_CallsAnsweredTrueWithEmptyReplyAndReported) {
    if (!CanUseMountNamespace())
        GTEST_SKIP() << "a private mount namespace needs CAP_SYS_ADMIN";
    TempDir scratch;
    const std::string emptyDir = scratch.Path() + "/empty";
    fs::create_directory(emptyDir);
    const std::vector<ModuleFault> faults = {
        {"module file missing",
         {{emptyDir, fs::path(NV_MODULE_PATH).parent_path().string()}},
         "",
         "[Open] ERROR dlopen.\n"},
        {"InitSite_external refuses",
         {{NV_FAKE_MODULE_INIT_FAIL_PATH, NV_MODULE_PATH}},
         "",
         "[Open] ERROR InitSite\n"},
        {"InitSite_external missing",
         {{NV_FAKE_MODULE_NO_INIT_PATH, NV_MODULE_PATH}},
         "",
         "[Open] ERROR load symbol\n"},
        {"InvokeSite_external missing",
         {{NV_FAKE_MODULE_NO_INVOKE_PATH, NV_MODULE_PATH}},
         "",
         "[GetFunc] ERROR load symbol\n"},
        {"null reply", {}, ",\"reply_mode\":\"null\"", "[GetFunc] ERROR InvokeSite\n"},
    };
    for (const ModuleFault& fault : faults) {
        SCOPED_TRACE(fault.name);
        Daemon daemon(LogTestPath(), fault.binds);
        ASSERT_TRUE(daemon.Start());
        // Over HTTPS: status TRUE (the call was made as far as it could be) and an empty reply.
        ReplyEnvelope http = ParseEnvelope(
            PostJson(daemon.Port(), CallText("m1", "https://pages.example", fault.request)).body);
        EXPECT_TRUE(http.valid);
        EXPECT_EQ(http.status, "TRUE");
        EXPECT_EQ(http.reply, "");
        // Over WSS the same.
        WsClient ws;
        ASSERT_TRUE(ws.Open(daemon.Port()));
        ASSERT_TRUE(ws.SendText(CallText("m2", "https://pages.example", fault.request)));
        WsFrame f;
        ASSERT_EQ(ws.ReadFrame(f), WsClient::Read::kFrame);
        ReplyEnvelope wss = ParseEnvelope(f.payload);
        EXPECT_EQ(wss.status, "TRUE");
        EXPECT_EQ(wss.reply, "");
        EXPECT_TRUE(daemon.WaitForLogLine(fault.expectedLog));
        // The endpoint itself stays in service.
        EXPECT_EQ(HttpExchange(daemon.Port(), BuildRequest("GET", "/?dmPortScan", "")).raw,
                  kProbeAnswerText);
        int status = daemon.Stop();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255) << "wait status " << status;
        EXPECT_EQ(daemon.SanitizerReport(), "");
    }
}

TEST(HostileFaults, ModuleBlocksFor30s_OtherCallsQueueWhileProbesAndCollectionsAreAnswered) {
    Daemon daemon(LogTestPath());
    ASSERT_TRUE(daemon.Start());
    const unsigned short port = daemon.Port();
    const std::string origin = "https://block.example";
    const std::string blocking =
        CallText("block", origin, ",\"use_getresult\":\"TRUE\",\"delay_ms\":30000");
    const auto start = Clock::now();
    auto first = std::async(std::launch::async, [&] { return PostJson(port, blocking, 120s); });
    ASSERT_TRUE(WaitFor(
        [&] {
            return ParseEnvelope(PostJson(port, CollectText("block", origin)).body).status ==
                   "RUNNING";
        },
        20s));

    // Another page's call queues behind it for the module.
    Clock::time_point queuedDone{};
    auto queued = std::async(std::launch::async, [&] {
        HttpResponse r = PostJson(port, CallText("queued", "https://other.example"), 120s);
        queuedDone = Clock::now();
        return r;
    });

    // Meanwhile: probes, collections ("RUNNING") and WebSocket pings are answered at once.
    WsClient ws;
    ASSERT_TRUE(ws.Open(port));
    for (int i = 0; i < 5; ++i) {
        const auto asked = Clock::now();
        EXPECT_EQ(HttpExchange(port, BuildRequest("GET", "/?securePortScan", "")).raw,
                  kProbeAnswerText);
        EXPECT_EQ(ParseEnvelope(PostJson(port, CollectText("block", origin)).body).status,
                  "RUNNING");
        ASSERT_TRUE(ws.Send(kWsPing, ""));
        WsFrame pong;
        ASSERT_EQ(ws.ReadFrame(pong), WsClient::Read::kFrame);
        EXPECT_EQ(pong.opcode, kWsPong);
        EXPECT_LT(Clock::now() - asked, 10s);
        std::this_thread::sleep_for(1s);
    }
    EXPECT_EQ(queued.wait_for(0s), std::future_status::timeout)
        << "the queued call overtook the blocked one";

    HttpResponse blocked = first.get();
    EXPECT_GE(Clock::now() - start, 29s);
    ReplyEnvelope env = ParseEnvelope(blocked.body);
    EXPECT_EQ(env.status, "TRUE");
    EXPECT_EQ(ParseSampleReply(env.reply).request, blocking);

    ReplyEnvelope other = ParseEnvelope(queued.get().body);
    EXPECT_EQ(other.status, "TRUE");
    EXPECT_EQ(ParseSampleReply(other.reply).maxConcurrent, 1);
    EXPECT_GE(queuedDone - start, 29s);

    // The parked result is collected once, then it is gone.
    ReplyEnvelope collected = ParseEnvelope(PostJson(port, CollectText("block", origin)).body);
    EXPECT_EQ(collected.status, "TRUE");
    EXPECT_EQ(collected.reply, env.reply);
    EXPECT_EQ(ParseEnvelope(PostJson(port, CollectText("block", origin)).body).status, "FALSE");
    EXPECT_TRUE(Healthy(port));
    daemon.Stop();
    EXPECT_EQ(daemon.SanitizerReport(), "");
}

TEST(HostileFaults, ClientLeavesDuringItsModuleCall_CallFinishesAndTaskIsCleanedUp) {
    Daemon daemon(LogTestPath());
    ASSERT_TRUE(daemon.Start());
    const unsigned short port = daemon.Port();
    const std::string origin = "https://leaving.example";
    auto leaveWhileRunning = [&](const std::string& id, const std::string& extra) {
        TlsConnection conn;
        ASSERT_TRUE(conn.Connect(port));
        ASSERT_TRUE(conn.Write(BuildPost(
            "request=" + FormEncode(CallText(id, origin, extra + ",\"delay_ms\":2000")))));
        ASSERT_TRUE(WaitFor(
            [&] {
                return ParseEnvelope(PostJson(port, CollectText(id, origin)).body).status ==
                       "RUNNING";
            },
            20s));
        conn.Close();  // gone without reading, while the module works
    };

    // A parked call: the result is there for the page to collect after all, exactly once.
    const std::string parked =
        CallText("parked", origin, ",\"use_getresult\":\"TRUE\",\"delay_ms\":2000");
    leaveWhileRunning("parked", ",\"use_getresult\":\"TRUE\"");
    ReplyEnvelope collected;
    ASSERT_TRUE(WaitFor(
        [&] {
            collected = ParseEnvelope(PostJson(port, CollectText("parked", origin)).body);
            return collected.status != "RUNNING";
        },
        20s));
    EXPECT_EQ(collected.status, "TRUE");
    EXPECT_EQ(ParseSampleReply(collected.reply).request, parked);
    EXPECT_EQ(ParseEnvelope(PostJson(port, CollectText("parked", origin)).body).status, "FALSE");

    // An ordinary call: the task is removed once the call has finished.
    leaveWhileRunning("plain", "");
    EXPECT_TRUE(WaitFor(
        [&] {
            return ParseEnvelope(PostJson(port, CollectText("plain", origin)).body).status ==
                   "FALSE";
        },
        20s));

    // Over WSS: the worker finishes the call and its write to the closed connection does no harm.
    {
        WsClient ws;
        ASSERT_TRUE(ws.Open(port));
        ASSERT_TRUE(ws.SendText(CallText("wsgone", origin, ",\"delay_ms\":2000")));
        // Closed once the daemon has the frame (its text line is logged before the call starts).
        EXPECT_TRUE(WaitFor(
            [&] {
                for (const auto& line : daemon.LogLines())
                    if (line.rfind("[WS][", 0) == 0 && line.find("] text:") != std::string::npos &&
                        line.find("wsgone") != std::string::npos)
                        return true;
                return false;
            },
            20s));
    }
    EXPECT_TRUE(WaitFor(
        [&] {
            for (const auto& line : daemon.LogLines())
                if (line.rfind("[WS] response :", 0) == 0 &&
                    line.find("wsgone") != std::string::npos)
                    return true;
            return false;
        },
        20s));
    EXPECT_TRUE(Healthy(port));
    int status = daemon.Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255) << "wait status " << status;
    EXPECT_EQ(daemon.SanitizerReport(), "");
}

// ---- Credentials -----------------------------------------------------------------------------------

// The staged credential file deciphered and enciphered again under a random key and vector.
std::string EncipheredWithAnotherKey() {
    std::string file = ReadFile(kCredentialPath);
    unsigned char key[NV_SEED_KEY_LEN], iv[NV_SEED_IV_LEN], otherKey[NV_SEED_KEY_LEN],
        otherIv[NV_SEED_IV_LEN];
    if (BRIM_GenerateEncKeyAndIV(key, iv) != 1)
        return std::string();
    RAND_bytes(otherKey, sizeof(otherKey));
    RAND_bytes(otherIv, sizeof(otherIv));
    void* plain = nullptr;
    int plainLen = 0;
    if (DecryptSeedCBC(file.data(), static_cast<int>(file.size()), iv, sizeof(iv), key, sizeof(key),
                       &plain, &plainLen) != 1)
        return std::string();
    void* out = nullptr;
    int outLen = 0;
    int rc = EncryptSeedCBC(plain, plainLen, otherIv, sizeof(otherIv), otherKey, sizeof(otherKey),
                            &out, &outLen);
    brim_decfree(plain, plainLen);
    if (rc != 1)
        return std::string();
    std::string result(static_cast<char*>(out), static_cast<std::size_t>(outLen));
    brim_decfree(out, outLen);
    return result;
}

// A daemon without its certificate must not hold a port: it would fail every handshake, and the
// single-instance rule would end every later start quietly. So each broken file ends the child as a
// server that cannot start does (status 0, every port free), and a start after the file is mended
// serves.
TEST(HostileFaults,
     CredentialFileMissingTruncatedOrOtherKey_ReportedNoPortHeldAndMendedFileServes) {
    if (!CanUseMountNamespace())
        GTEST_SKIP() << "a private mount namespace needs CAP_SYS_ADMIN";
    const std::string good = ReadFile(kCredentialPath);
    ASSERT_FALSE(good.empty());
    const std::string otherKey = EncipheredWithAnotherKey();
    ASSERT_EQ(otherKey.size(), good.size());
    ASSERT_NE(otherKey, good);
    struct Variant {
        const char* name;
        bool present;
        std::string bytes;
    };
    const std::vector<Variant> variants = {
        {"missing", false, ""},
        {"empty", true, ""},
        {"truncated", true, good.substr(0, good.size() / 2)},
        {"cut at a block boundary", true, good.substr(0, good.size() / 32 * 16)},
        {"enciphered with another key", true, otherKey},
    };
    // A copy of the install directory (the TLS libraries and root certificate), shown at the
    // install directory's path, whose credential file each variant replaces.
    TempDir scratch;
    fs::copy(NV_INSTALL_DIR, scratch.Path(), fs::copy_options::recursive);
    const std::string credential = scratch.Path() + "/" + NV_CREDENTIAL_FILE_NAME;
    for (const Variant& v : variants) {
        SCOPED_TRACE(v.name);
        fs::remove(credential);
        if (v.present)
            WriteFile(credential, v.bytes);
        Daemon daemon(LogTestPath(), {{scratch.Path(), NV_INSTALL_DIR}});
        ASSERT_TRUE(daemon.Start(/*expectListen=*/false));
        int status = Daemon::WaitChildEnd(30s);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
        EXPECT_TRUE(daemon.HasLogLine("CDMServer::CDMServer Error = [Load SSL certificate]"));
        EXPECT_FALSE(daemon.HasLogLine("CDMServer::CDMServer Success = load SSL certificate"));
        EXPECT_TRUE(daemon.HasLogLine("[DAEMON] End Demon Local Server"));
        for (unsigned short port = 4441; port <= 4445; ++port)
            EXPECT_FALSE(TcpAccepts(port)) << port;
        EXPECT_EQ(daemon.SanitizerReport(), "");
    }
    WriteFile(credential, good);
    Daemon daemon(LogTestPath(), {{scratch.Path(), NV_INSTALL_DIR}});
    ASSERT_TRUE(daemon.Start());
    TlsConnection conn;
    EXPECT_TRUE(conn.Connect(daemon.Port(), 10s));
    int status = daemon.Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255) << "wait status " << status;
}

// ---- Ports -----------------------------------------------------------------------------------------

TEST(HostileFaults, AllFivePortsTaken_ReportedAndTheDaemonEnds) {
    std::vector<int> listeners;
    for (unsigned short port = 4441; port <= 4445; ++port) {
        if (TcpAccepts(port))
            continue;  // already served by something else: taken all the same
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in addr = LoopbackAddress(port);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0) << port;
        ASSERT_EQ(listen(fd, 4), 0);
        listeners.push_back(fd);
    }
    Daemon daemon(LogTestPath());
    ASSERT_TRUE(daemon.Start(/*expectListen=*/false));
    int status = Daemon::WaitChildEnd(30s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    EXPECT_TRUE(
        daemon.HasLogLine("CDMServer::StartDMServer Error = [Cannot found possible port.]"));
    EXPECT_TRUE(daemon.HasLogLine("[DAEMON] End Demon Local Server"));
    EXPECT_EQ(daemon.SanitizerReport(), "");
    for (int fd : listeners)
        close(fd);
}

}  // namespace

// ---- The TLS read guard ----------------------------------------------------------------------------

TEST(HostileFaults, TlsLibraryWithoutTheReadGuard_ReportedAndNothingServed) {
    if (!CanUseMountNamespace())
        GTEST_SKIP() << "a private mount namespace needs CAP_SYS_ADMIN";
    // A libssl.so that makes CivetWeb's TLS work but reads without the guard: no frame bound, no
    // request deadline, no idle bound. The daemon finds out before serving and does not serve.
    const std::string guarded = std::string(NV_PRIVATE_LIB_DIR) + "/libssl.so";
    Daemon daemon(LogTestPath(), {{NV_TEST_UNGUARDED_SSL_PATH, guarded}});
    ASSERT_TRUE(daemon.Start(/*expectListen=*/false));
    int status = Daemon::WaitChildEnd(30s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    EXPECT_TRUE(daemon.HasLogLine("[TLS] the read guard is not in place (SSL_read of " + guarded +
                                  " is not the guard's); not serving\n"))
        << daemon.Stderr();
    EXPECT_TRUE(daemon.HasLogLine("CDMServer::StartDMServer ERROR!!"));
    EXPECT_TRUE(daemon.HasLogLine("[DAEMON] End Demon Local Server"));
    for (unsigned short port = 4441; port <= 4445; ++port)
        EXPECT_FALSE(TcpAccepts(port)) << port;
    EXPECT_EQ(daemon.SanitizerReport(), "");
}
