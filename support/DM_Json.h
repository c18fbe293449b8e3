// CDM_Json: one owned json-c tree. Requests are parsed with it and members read back as JSON text;
// replies are assembled with it and serialised in json-c's default spaced text form.
#pragma once

#include <cstddef>
#include <string>

struct json_object;

// Used by one thread at a time; documents are locals of one request's handling and never copied.
class CDM_Json {
public:
    CDM_Json() = default;
    virtual ~CDM_Json();
    CDM_Json(const CDM_Json&) = delete;
    CDM_Json& operator=(const CDM_Json&) = delete;

    // 0 when text is any JSON value, -1 otherwise (the document is then empty).
    virtual int Parse(const std::string& text);
    // The member's JSON text (strings keep their quotes and escapes). -1, with out untouched, when
    // there is no object root or the member is missing or null.
    virtual int GetValueString(const std::string& key, std::string& out);
    // Adds a string member. 0, or -1 when no root could be made or the root is not an object. A key
    // that is already present is replaced, and the member then stands last.
    virtual int AddObject(const std::string& key, const std::string& value);
    // Adds the child's tree under key, shared rather than copied (a child without a root adds a
    // null member). -1 as above, and for a null child or a document added to itself.
    virtual int AddObject(const std::string& key, CDM_Json* child);
    // The document's text, or "" when it is empty.
    virtual std::string toString();

    void Clear();

private:
    bool EnsureRoot();
    int AddMember(const std::string& key, json_object* value);

    json_object* m_pRoot = nullptr;
};

// JSON text written straight into a string, in exactly the form CDM_Json::toString gives the same
// tree: replies are built this way without a json-c tree per request.
//
// The length of text (up to its first NUL, as a json-c string ends there) as a JSON string, quotes
// included.
std::size_t JsonStringSize(const char* text);
// The same for length bytes of text, NUL bytes included.
std::size_t JsonStringSize(const char* text, std::size_t length);
// Appends that JSON string: quoted; backspace, form feed, line feed, carriage return, tab, '"',
// backslash and '/' escaped with a backslash, every other byte below 0x20 as \u00xx (lower-case hex),
// and all other bytes as they are.
void AppendJsonString(std::string& out, const char* text);
// The same for length bytes of text, NUL bytes included (written as \u0000).
void AppendJsonString(std::string& out, const char* text, std::size_t length);

// One object of the text: the constructor appends "{", End appends " }". Each member is the key as
// a JSON string followed by ": " and its value, after " " for the first member and ", " for others. A nested object is a Key followed by a writer of
// its own, ended before the next member of this one.
class CJsonObjectWriter {
public:
    explicit CJsonObjectWriter(std::string& out) : m_out(out) { m_out += '{'; }
    CJsonObjectWriter(const CJsonObjectWriter&) = delete;
    CJsonObjectWriter& operator=(const CJsonObjectWriter&) = delete;

    void Key(const char* key);
    void String(const char* key, const std::string& value) {
        Key(key);
        AppendJsonString(m_out, value.c_str());
    }
    void End() { m_out += " }"; }

private:
    std::string& m_out;
    bool m_bFirst = true;
};
