// CDM_Json: parsing, member lookups as JSON text, building trees with shared children, and the
// byte-exact text form that replies are sent in.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/DM_Json.h"

namespace {

// The value of `key` in a document parsed from `text`, or "<absent>" when the lookup fails.
std::string Lookup(const std::string& text, const std::string& key) {
    CDM_Json json;
    EXPECT_EQ(json.Parse(text), 0) << text;
    std::string out = "<absent>";
    const int rc = json.GetValueString(key, out);
    EXPECT_EQ(rc == 0, out != "<absent>") << "result and output disagree for " << key;
    return out;
}

}  // namespace

// --- Parse --------------------------------------------------------------------------------------

TEST(DMJson, Parse_EmptyOrUnterminated_FailsAndLeavesDocumentEmpty) {
    CDM_Json json;
    ASSERT_EQ(json.Parse("{\"a\":1}"), 0);
    EXPECT_EQ(json.Parse("{\"a\":"), -1);
    EXPECT_EQ(json.toString(), "");  // the earlier tree is gone too
    EXPECT_EQ(json.Parse(""), -1);
    EXPECT_EQ(json.toString(), "");
    std::string out = "kept";
    EXPECT_EQ(json.GetValueString("a", out), -1);
    EXPECT_EQ(out, "kept");
}

TEST(DMJson, Parse_NonObjectValues_AcceptedButHaveNoMembers) {
    CDM_Json json;
    ASSERT_EQ(json.Parse("[1,2]"), 0);
    EXPECT_EQ(json.toString(), "[ 1, 2 ]");
    std::string out = "kept";
    EXPECT_EQ(json.GetValueString("0", out), -1);
    EXPECT_EQ(json.GetValueString("", out), -1);
    ASSERT_EQ(json.Parse("12"), 0);
    EXPECT_EQ(json.GetValueString("id", out), -1);
    ASSERT_EQ(json.Parse("\"get_versions\""), 0);
    EXPECT_EQ(json.GetValueString("init", out), -1);
    EXPECT_EQ(out, "kept");
    // json-c represents the JSON null literal by no object at all, so it does not parse as a document.
    EXPECT_EQ(json.Parse("null"), -1);
}

// --- GetValueString -----------------------------------------------------------------------------

TEST(DMJson, GetValueString_MemberKinds_GiveTheirJsonText) {
    const std::string doc =
        R"({"a":"x/y","b":null,"c":1,"d":{"e":true},"s":"null","f":1.5,"g":false,)"
        R"("arr":[1,"a/b",[],{}],"big":12345678901,"neg":-3})";
    EXPECT_EQ(Lookup(doc, "a"), "\"x\\/y\"");
    EXPECT_EQ(Lookup(doc, "b"), "<absent>");
    EXPECT_EQ(Lookup(doc, "c"), "1");
    EXPECT_EQ(Lookup(doc, "d"), "{ \"e\": true }");
    EXPECT_EQ(Lookup(doc, "s"), "\"null\"");  // the string null is a value, unlike JSON null
    EXPECT_EQ(Lookup(doc, "f"), "1.5");
    EXPECT_EQ(Lookup(doc, "g"), "false");
    EXPECT_EQ(Lookup(doc, "arr"), "[ 1, \"a\\/b\", [ ], { } ]");
    EXPECT_EQ(Lookup(doc, "big"), "12345678901");
    EXPECT_EQ(Lookup(doc, "neg"), "-3");
    EXPECT_EQ(Lookup(doc, "missing"), "<absent>");
    EXPECT_EQ(Lookup(doc, "A"), "<absent>");  // keys are case-sensitive
}

TEST(DMJson, GetValueString_StringEscapes_InJsonCForm) {
    // Input escapes for backspace, tab, line feed, carriage return, quote, slash, backslash, two
    // control bytes, and a two-byte UTF-8 letter that is copied as it is.
    const std::string doc = R"({"v":"\b\t\n\r\"\/\\\u0001\u001fé<>&'"})";
    EXPECT_EQ(Lookup(doc, "v"), R"("\b\t\n\r\"\/\\\u0001\u001fé<>&'")");
    // The installed json-c also has a short form for form feed.
    EXPECT_EQ(Lookup(R"({"v":"\f\u007f"})", "v"), "\"\\f\x7f\"");
}

// --- Building and text form ---------------------------------------------------------------------

TEST(DMJson, AddObject_FreshDocument_SingleStringMember) {
    CDM_Json json;
    EXPECT_EQ(json.toString(), "");
    ASSERT_EQ(json.AddObject("k", std::string("v")), 0);
    EXPECT_EQ(json.toString(), "{ \"k\": \"v\" }");
    std::string out;
    EXPECT_EQ(json.GetValueString("k", out), 0);
    EXPECT_EQ(out, "\"v\"");
}

TEST(DMJson, ToString_NestedReplyEnvelope_ByteExact) {
    CDM_Json inner;
    inner.AddObject("status", std::string(""));
    inner.AddObject("reply", std::string("{\"sig\":\"a/b\\c\"}\n"));
    CDM_Json middle;
    middle.AddObject("reply", &inner);
    CDM_Json response;
    response.AddObject("id", std::string("7"));
    response.AddObject("tabid", std::string("t1"));
    response.AddObject("callback", std::string("https://a.example/cb"));
    response.AddObject("status", std::string("TRUE"));
    response.AddObject("reply", &middle);
    CDM_Json m;
    m.AddObject("name", std::string("mod"));
    m.AddObject("version", std::string("3.3.2.25"));
    CDM_Json root;
    root.AddObject("daemon", std::string("1.0.1.1"));
    root.AddObject("m", &m);
    root.AddObject("response", &response);
    EXPECT_EQ(
        root.toString(),
        R"({ "daemon": "1.0.1.1", "m": { "name": "mod", "version": "3.3.2.25" }, )"
        R"("response": { "id": "7", "tabid": "t1", "callback": "https:\/\/a.example\/cb", "status": "TRUE", )"
        R"("reply": { "reply": { "status": "", "reply": "{\"sig\":\"a\/b\\c\"}\n" } } } })");
}

TEST(DMJson, ToString_KeysAndEmptyContainers_Escaped) {
    CDM_Json empty;
    ASSERT_EQ(empty.Parse("{}"), 0);
    CDM_Json json;
    json.AddObject("a/b\"c", std::string("\x01"));
    json.AddObject("e", &empty);
    EXPECT_EQ(json.toString(), R"({ "a\/b\"c": "\u0001", "e": { } })");
}

TEST(DMJson, AddObject_SharedChild_LaterChangesShowAndTreeOutlivesChild) {
    CDM_Json parent;
    {
        CDM_Json child;
        child.AddObject("x", std::string("1"));
        ASSERT_EQ(parent.AddObject("c", &child), 0);
        child.AddObject("y", std::string("2"));
        EXPECT_EQ(parent.toString(), R"({ "c": { "x": "1", "y": "2" } })");
    }
    // The child document has released its reference; the parent's still holds the tree.
    EXPECT_EQ(parent.toString(), R"({ "c": { "x": "1", "y": "2" } })");
}

TEST(DMJson, AddObject_ChildWithoutRoot_AddsNullMember) {
    CDM_Json child;
    CDM_Json parent;
    ASSERT_EQ(parent.AddObject("c", &child), 0);
    EXPECT_EQ(parent.toString(), R"({ "c": null })");
    std::string out = "kept";
    EXPECT_EQ(parent.GetValueString("c", out), -1);
    EXPECT_EQ(out, "kept");
}

TEST(DMJson, AddObject_ExistingKey_ReplacedValueStandsLast) {
    CDM_Json child;
    child.AddObject("x", std::string("1"));
    CDM_Json json;
    json.AddObject("a", std::string("1"));
    json.AddObject("b", &child);
    json.AddObject("a", std::string("3"));
    EXPECT_EQ(json.toString(), R"({ "b": { "x": "1" }, "a": "3" })");
    json.AddObject("b", &child);  // the same tree again: still alive after its earlier member went
    EXPECT_EQ(json.toString(), R"({ "a": "3", "b": { "x": "1" } })");
}

TEST(DMJson, AddObject_RootNotAnObject_RefusedWithoutChange) {
    // json-c itself aborts the process on such an add.
    CDM_Json json;
    ASSERT_EQ(json.Parse("[1]"), 0);
    CDM_Json child;
    child.AddObject("x", std::string("1"));
    EXPECT_EQ(json.AddObject("k", std::string("v")), -1);
    EXPECT_EQ(json.AddObject("k", &child), -1);
    EXPECT_EQ(json.toString(), "[ 1 ]");
}

TEST(DMJson, AddObject_NullOrSelfChild_Refused) {
    CDM_Json json;
    json.AddObject("a", std::string("1"));
    EXPECT_EQ(json.AddObject("c", nullptr), -1);
    EXPECT_EQ(json.AddObject("self", &json), -1);  // a tree that contains itself cannot be written
    EXPECT_EQ(json.toString(), R"({ "a": "1" })");
}

TEST(DMJson, Clear_BuiltDocument_BecomesEmptyAndReusable) {
    CDM_Json json;
    json.AddObject("a", std::string("1"));
    json.Clear();
    EXPECT_EQ(json.toString(), "");
    json.Clear();
    json.AddObject("b", std::string("2"));
    EXPECT_EQ(json.toString(), R"({ "b": "2" })");
}

// --- Text written without a tree ----------------------------------------------------------------

// The writer must give exactly json-c's text, as replies used to be json-c's: every byte value on
// its own and inside other text, keys included, nested and empty objects.
TEST(DMJson, JsonTextWriter_EveryByteAndNesting_SameTextAsJsonC) {
    std::string all;
    for (int c = 1; c < 256; ++c)
        all += static_cast<char>(c);
    std::vector<std::string> values = {"", "plain", "a/b\"c\\d", std::string("cut\0here", 8), all};
    for (int c = 1; c < 256; ++c)
        values.push_back("x" + std::string(1, static_cast<char>(c)) + "y");
    for (const std::string& value : values) {
        CDM_Json tree;
        CDM_Json inner;
        CDM_Json shared;
        inner.AddObject("in" + value, value);
        tree.AddObject("k", value);
        tree.AddObject("nested", &inner);
        shared.AddObject("late", std::string("in a shared child"));
        tree.AddObject("shared", &shared);
        tree.AddObject("last", value);

        std::string text;
        CJsonObjectWriter root(text);
        root.String("k", value);
        root.Key("nested");
        CJsonObjectWriter nested(text);
        nested.String(("in" + value).c_str(), value);
        nested.End();
        root.Key("shared");
        CJsonObjectWriter sharedWriter(text);
        sharedWriter.String("late", "in a shared child");
        sharedWriter.End();
        root.String("last", value);
        root.End();
        ASSERT_EQ(text, tree.toString()) << "value of " << value.size() << " bytes";

        // A string member read back is json-c's text of it, as it stands in the tree's text.
        CDM_Json reparsed;
        ASSERT_EQ(reparsed.Parse(text), 0);
        std::string member;
        ASSERT_EQ(reparsed.GetValueString("k", member), 0);
        const std::size_t from = std::strlen("{ \"k\": ");
        EXPECT_EQ(member, text.substr(from, text.find(", \"nested\": ") - from));

        std::string quoted;
        AppendJsonString(quoted, value.c_str());
        EXPECT_EQ(quoted.size(), JsonStringSize(value.c_str()));
    }
    // A NUL inside a string value is kept, written as json-c writes it.
    EXPECT_EQ(Lookup(R"({"v":"a\u0000b"})", "v"), R"("a\u0000b")");
    CDM_Json withNul;
    ASSERT_EQ(withNul.Parse(R"({"v":"a\u0000b"})"), 0);
    EXPECT_EQ(withNul.toString(), R"({ "v": "a\u0000b" })");

    std::string emptyObject;
    CJsonObjectWriter(emptyObject).End();
    CDM_Json parsed;
    ASSERT_EQ(parsed.Parse("{}"), 0);
    EXPECT_EQ(emptyObject, parsed.toString());
}
