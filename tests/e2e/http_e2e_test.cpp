// End to end over HTTPS: the built daemon, started in a temporary home on the first fixed port, with
// the sample module at the module path, driven by a TLS client in the test.
#include "TlsHttpClient.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <regex>
#include <string>

using namespace nvtest;

namespace {

#ifdef NV_DAEMON_BINARY
const std::string kProgram = NV_DAEMON_BINARY;
#else
const std::string kProgram = DaemonProcess::ProductPath();
#endif

constexpr unsigned short kPort = 4441;

// The escaped form json-c gives a text inside a JSON string (quote, backslash, slash).
std::string JsonEscaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\' || c == '/')
            out += '\\';
        out += c;
    }
    return out;
}

// The sample module's reply to a request, as it stands inside the envelope.
std::string SampleReplyEscaped(const std::string& request, const std::string& cmdJson, int init,
                               int invoke, int uninit) {
    std::string reply = "{ \"module\": \"sample\", \"cmd\": " + cmdJson + ", \"request\": \"" +
                        JsonEscaped(request) + "\", \"init_calls\": " + std::to_string(init) +
                        ", \"invoke_calls\": " + std::to_string(invoke) +
                        ", \"uninit_calls\": " + std::to_string(uninit) +
                        ", \"max_concurrent_invokes\": 1 }";
    return JsonEscaped(reply);
}

class HttpE2e : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_daemon.Start(kPort)); }
    void TearDown() override {
        int status = m_daemon.Stop();
        // SIGINT is one of the handled signals: the daemon stops its server and exits with 255.
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255) << "wait status " << status;
    }

    HttpResponse Get(const std::string& target, const std::string& headers = std::string()) {
        return HttpExchange(Port(), BuildRequest("GET", target, headers));
    }
    HttpResponse PostForm(const std::string& request, const std::string& headers = std::string()) {
        return HttpExchange(Port(), BuildPost("request=" + FormEncode(request), headers));
    }

    unsigned short Port() const { return m_daemon.Port(); }

    DaemonProcess m_daemon{kProgram};
};

}  // namespace

TEST_F(HttpE2e, Probes_WithAndWithoutOriginAndReferer_AnsweredOrRejected) {
    struct Case {
        const char* target;
        const char* headers;
        const char* expected;
    } cases[] = {
        {"/?dmPortScan", "", kProbeAnswerText},
        {"/?dmPortScan", "Origin: https://pages.example\r\n", kProbeAnswerText},
        {"/?dmPortScan", "Referer: https://pages.example/app/p.html\r\n", kProbeAnswerText},
        // dmPortScan does not compare the two headers.
        {"/?dmPortScan", "Origin: https://a.example\r\nReferer: https://b.example/\r\n",
         kProbeAnswerText},
        {"/?securePortScan", "", kProbeAnswerText},
        {"/?securePortScan", "Origin: https://pages.example\r\n", kProbeAnswerText},
        {"/?securePortScan", "Referer: https://pages.example/app\r\n", kProbeAnswerText},
        {"/?securePortScan",
         "Origin: https://pages.example\r\nReferer: https://pages.example/app\r\n",
         kProbeAnswerText},
        // The mismatch: another host, or the same host with a port in one header only.
        {"/?securePortScan",
         "Origin: https://pages.example\r\nReferer: https://evil.example/app\r\n", kRejectionText},
        {"/?securePortScan",
         "Origin: https://pages.example\r\nReferer: https://pages.example:443/\r\n",
         kRejectionText},
        {"/?securePortScan", "Origin: null\r\nReferer: https://pages.example/\r\n", kRejectionText},
    };
    for (const Case& c : cases) {
        HttpResponse r = Get(c.target, c.headers);
        EXPECT_EQ(r.raw, c.expected) << c.target << " with " << c.headers;
    }
}

TEST_F(HttpE2e, Get_WithoutQueryOrRouteWord_Rejected) {
    EXPECT_EQ(Get("/").raw, kRejectionText);
    EXPECT_EQ(Get("/index.html").raw, kRejectionText);
    EXPECT_EQ(Get("/?request=%7B%7D").raw,
              kRejectionText);  // requests are not accepted through GET
}

TEST_F(HttpE2e, Post_UrlEncodedRequest_EnvelopeCarriesTheSampleModuleReply) {
    // What a page's form post or XHR sends: the JSON request, form-encoded, after "request=".
    const std::string request =
        "{\"id\":\"1\",\"tabid\":\"tab1\",\"callback\":\"onReply\",\"origin\":\"https://"
        "pages.example\",\"cmd\":\"sign\"}";
    HttpResponse r = PostForm(
        request, "Origin: https://pages.example\r\nReferer: https://pages.example/app\r\n");
    const std::string body =
        Envelope("1", "tab1", "onReply", "TRUE", SampleReplyEscaped(request, "\"sign\"", 1, 1, 0));
    EXPECT_EQ(r.raw, ReplyHead(body.size()) + body);
}

TEST_F(HttpE2e, Post_UseGetResult_ParkedResultCollectedOnceThenGone) {
    const std::string call =
        "{\"id\":\"9\",\"tabid\":\"t\",\"origin\":\"https://"
        "pages.example\",\"use_getresult\":\"TRUE\"}";
    const std::string collect =
        "{\"id\":\"9\",\"tabid\":\"t\",\"origin\":\"https://"
        "pages.example\",\"cmd\":\"GET_RESULT\"}";
    HttpResponse first = PostForm(call);
    ASSERT_EQ(first.Status(), 200);
    const std::string moduleReply = SampleReplyEscaped(call, "null", 1, 1, 0);
    EXPECT_EQ(first.body, Envelope("9", "t", "", "TRUE", moduleReply));

    // The collection does not reach the module: the same reply text comes back.
    EXPECT_EQ(PostForm(collect).body, Envelope("9", "t", "", "TRUE", moduleReply));
    EXPECT_EQ(PostForm(collect).body, Envelope("9", "t", "", "FALSE", ""));
}

TEST_F(HttpE2e, Post_OriginNull_RejectedWithRefererAcceptedAlone) {
    const std::string request = "{\"id\":\"n\",\"tabid\":\"t\"}";
    EXPECT_EQ(PostForm(request, "Origin: null\r\nReferer: https://pages.example/app\r\n").raw,
              kRejectionText);
    HttpResponse alone = PostForm(request, "Origin: null\r\n");
    EXPECT_EQ(alone.Status(), 200);
    EXPECT_EQ(alone.body.rfind("{ \"response\": { \"id\": \"n\", \"tabid\": \"t\", \"callback\": "
                               "\"\", \"status\": \"TRUE\"",
                               0),
              0u)
        << alone.body;
}

TEST_F(HttpE2e, Post_ContentLengthMissingOrZeroOrEmptyRequest_Rejected) {
    EXPECT_EQ(HttpExchange(Port(), BuildRequest("POST", "/", "")).raw, kRejectionText);
    EXPECT_EQ(HttpExchange(Port(), BuildRequest("POST", "/", "Content-Length: 0\r\n")).raw,
              kRejectionText);
    EXPECT_EQ(HttpExchange(Port(), BuildPost("request=")).raw, kRejectionText);
    EXPECT_EQ(HttpExchange(Port(), BuildPost("req=%7B%7D")).raw, kRejectionText);
    EXPECT_EQ(HttpExchange(Port(), BuildRequest("POST", "/", "Content-Length: 1073741824\r\n")).raw,
              kRejectionText);
}

TEST_F(HttpE2e, OptionsAndHead_FallToCivetWeb) {
    HttpResponse options = HttpExchange(Port(), BuildRequest("OPTIONS", "/?dmPortScan", ""));
    ASSERT_TRUE(options.complete);
    EXPECT_GE(options.Status(), 400) << options.raw;
    EXPECT_EQ(options.raw.find("Access-Control-Allow-Origin"), std::string::npos)
        << "not one of ours: " << options.raw;

    HttpResponse head =
        HttpExchange(Port(), BuildRequest("HEAD", "/?dmPortScan", ""), /*noBody=*/true);
    ASSERT_TRUE(head.complete);
    EXPECT_EQ(head.Status(), 404) << head.raw;
}

TEST_F(HttpE2e, KeepAlive_SeveralRequestsOnOneConnection_AllAnswered) {
    TlsConnection conn;
    ASSERT_TRUE(conn.Connect(Port()));
    std::string pending;
    for (int i = 0; i < 5; ++i) {
        std::string request =
            "{\"id\":\"k" + std::to_string(i) + "\",\"tabid\":\"t\",\"origin\":\"https://k\"}";
        ASSERT_TRUE(conn.Write(BuildPost("request=" + FormEncode(request))));
        HttpResponse r = ReadHttpResponse(conn, pending);
        ASSERT_TRUE(r.complete) << "request " << i;
        EXPECT_EQ(r.Status(), 200);
        // One session for the origin: the module is initialised once, and counts each call.
        EXPECT_EQ(r.body, Envelope("k" + std::to_string(i), "t", "", "TRUE",
                                   SampleReplyEscaped(request, "null", 1, i + 1, 0)));
    }
    // A probe on the same connection is answered too, and ends it (Connection: close).
    ASSERT_TRUE(conn.Write(BuildRequest("GET", "/?dmPortScan", "")));
    HttpResponse probe = ReadHttpResponse(conn, pending);
    EXPECT_EQ(probe.raw, kProbeAnswerText);
}
