// Reading a request into its record: DeleteQuotes and the filling of a header from a parsed request
// for both transports.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "protocol/RequestHeader.h"
#include "support/DM_Json.h"

namespace {

std::vector<std::string> Fields(const _PROTOCOL_HEADER& h) {
    return {h.init,       h.id,       h.tabid,  h.cmd, h.origin,
            h.session_id, h.callback, h.module, h.m,   h.use_getresult};
}

// A document that records the keys it is asked for, in order.
class RecordingJson : public CDM_Json {
public:
    int GetValueString(const std::string& key, std::string& out) override {
        m_keys.push_back(key);
        return CDM_Json::GetValueString(key, out);
    }
    std::vector<std::string> m_keys;
};

_PROTOCOL_HEADER FillHTTP(const std::string& request) {
    CDM_Json json;
    json.Parse(request);
    _PROTOCOL_HEADER h;
    FillProtocolHeaderHTTP(json, h);
    return h;
}

_PROTOCOL_HEADER FillWS(const std::string& request) {
    CDM_Json json;
    json.Parse(request);
    _PROTOCOL_HEADER h;
    FillProtocolHeaderWS(json, h);
    return h;
}

}  // namespace

// --- DeleteQuotes -------------------------------------------------------------------------------

TEST(DeleteQuotes, Cases_RemoveFirstAndLastQuoteOnly) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"\"abc\"", "abc"},
        {"abc", "abc"},
        {"", ""},
        {"ab\"c", "abc"},  // a single quote anywhere is removed
        {"\"", ""},
        {"\"\"", ""},
        {"\"a\"b\"", "a\"b"},    // inner quotes stay
        {" \"x\" ", " x "},      // blanks stay
        {"\"a\\\"\"", "a\\\""},  // json-c's escaped quote keeps its backslash and quote
        {"\"https:\\/\\/a.example\"", "https:\\/\\/a.example"},
        {"x\"y\"z", "xyz"},
    };
    for (const auto& c : cases) {
        std::string text = c.first;
        DeleteQuotes(text);
        EXPECT_EQ(text, c.second) << "input: " << c.first;
    }
}

// --- Filling the header -------------------------------------------------------------------------

TEST(FillProtocolHeader, HTTP_AllMembers_UnquotedAndNoSessionId) {
    const _PROTOCOL_HEADER h = FillHTTP(
        R"({"init":"i","id":"7","tabid":"t1","cmd":"sign","origin":"o","callback":"cb","module":"mod",)"
        R"("m":"ignored","use_getresult":"TRUE","other":"x"})");
    EXPECT_EQ(Fields(h),
              (std::vector<std::string>{"i", "7", "t1", "sign", "o", "", "cb", "mod", "", "TRUE"}));
}

TEST(FillProtocolHeader, HTTP_UseGetResult_MissingOrNullIsFalseButBooleanFalseIsText) {
    EXPECT_EQ(FillHTTP(R"({"id":"1"})").use_getresult, "FALSE");
    EXPECT_EQ(FillHTTP(R"({"use_getresult":null})").use_getresult, "FALSE");
    EXPECT_EQ(FillHTTP(R"({"use_getresult":false})").use_getresult, "false");
    EXPECT_EQ(FillHTTP(R"({"use_getresult":"FALSE"})").use_getresult, "FALSE");
    EXPECT_EQ(FillHTTP(R"({"use_getresult":"null"})").use_getresult, "null");
}

TEST(FillProtocolHeader, ValueForms_KeptAsJsonText) {
    const _PROTOCOL_HEADER h = FillHTTP(
        R"({"id":12,"tabid":"a\"b","origin":"https://a.example/p","cmd":true,"callback":{"k":[1,2]},"module":null})");
    EXPECT_EQ(h.id, "12");
    EXPECT_EQ(h.tabid, "a\\\"b");
    EXPECT_EQ(h.origin, "https:\\/\\/a.example\\/p");
    EXPECT_EQ(h.cmd, "true");
    EXPECT_EQ(h.callback,
              "{ k: [ 1, 2 ] }");  // the object's text, its first and last quote removed
    EXPECT_EQ(h.module, "");
}

TEST(FillProtocolHeader, NonObjectOrUnparsedDocument_LeavesDefaults) {
    const std::vector<std::string> defaults = Fields(_PROTOCOL_HEADER());
    for (const char* request : {"12", "\"get_versions\"", "[{\"id\":\"1\"}]", "", "{\"id\":"}) {
        EXPECT_EQ(Fields(FillHTTP(request)), defaults) << request;
        EXPECT_EQ(Fields(FillWS(request)), defaults) << request;
    }
}

TEST(FillProtocolHeader, GetVersions_OnlyTheExactJsonStringReadsM) {
    EXPECT_EQ(FillHTTP(R"({"init":"get_versions","m":"modname"})").m, "modname");
    EXPECT_EQ(FillWS(R"({"init":"get_versions","m":"modname"})").m, "modname");
    EXPECT_EQ(FillHTTP(R"({"init":"GET_VERSIONS","m":"modname"})").m, "");
    EXPECT_EQ(FillHTTP(R"({"init":["get_versions"],"m":"modname"})").m, "");
    EXPECT_EQ(FillHTTP(R"({"init":" get_versions","m":"modname"})").m, "");
    EXPECT_EQ(FillHTTP(R"({"init":"get_versions","m":7})").m, "7");
}

TEST(FillProtocolHeader, WS_SessionIdIsQuotedTabIdAndUseGetResultUnread) {
    const _PROTOCOL_HEADER h =
        FillWS(R"({"id":"1","tabid":"t/1","origin":"o","use_getresult":"TRUE"})");
    EXPECT_EQ(h.tabid, "t\\/1");
    EXPECT_EQ(h.session_id, "\"t\\/1\"");
    EXPECT_EQ(h.use_getresult, "FALSE");
    EXPECT_EQ(FillWS(R"({"tabid":5})").session_id, "5");
    EXPECT_EQ(FillWS(R"({"id":"1"})").session_id, "");
}

TEST(FillProtocolHeader, LookupOrder_PerTransport) {
    const std::string request = R"({"init":"get_versions","m":"x"})";
    RecordingJson http;
    ASSERT_EQ(http.Parse(request), 0);
    _PROTOCOL_HEADER h1;
    FillProtocolHeaderHTTP(http, h1);
    EXPECT_EQ(http.m_keys, (std::vector<std::string>{"init", "id", "tabid", "cmd", "origin",
                                                     "callback", "module", "use_getresult", "m"}));

    RecordingJson ws;
    ASSERT_EQ(ws.Parse(request), 0);
    _PROTOCOL_HEADER h2;
    FillProtocolHeaderWS(ws, h2);
    EXPECT_EQ(ws.m_keys, (std::vector<std::string>{"init", "id", "tabid", "cmd", "origin",
                                                   "callback", "module", "m"}));

    RecordingJson plain;
    ASSERT_EQ(plain.Parse(R"({"init":"x"})"), 0);
    _PROTOCOL_HEADER h3;
    FillProtocolHeaderWS(plain, h3);
    EXPECT_EQ(plain.m_keys.back(), "module");  // no "m" lookup without get_versions
}
