// CDM_Json: one owned json-c tree. Requests are parsed with it and members read back as JSON text;
// replies are assembled with it and serialised in json-c's default spaced text form.
#pragma once

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
