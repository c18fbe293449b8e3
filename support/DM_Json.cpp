// CDM_Json over json-c.
#include "support/DM_Json.h"

#include <json-c/json.h>

#include <cstring>

CDM_Json::~CDM_Json() {
    Clear();
}

void CDM_Json::Clear() {
    if (m_pRoot != nullptr)
        json_object_put(m_pRoot);
    m_pRoot = nullptr;
}

int CDM_Json::Parse(std::string text) {
    Clear();
    json_object* parsed = json_tokener_parse(text.c_str());
    if (parsed == nullptr)
        return -1;
    m_pRoot = parsed;
    return 0;
}

int CDM_Json::GetValueString(const std::string& key, std::string& out) {
    if (m_pRoot == nullptr || json_object_get_type(m_pRoot) != json_type_object)
        return -1;
    // borrowed: json_object_object_get adds no reference
    json_object* member = json_object_object_get(m_pRoot, key.c_str());
    const char* text = json_object_to_json_string(member);
    if (text == nullptr || std::strcmp(text, "null") == 0)
        return -1;
    out = text;
    return 0;
}

bool CDM_Json::EnsureRoot() {
    if (m_pRoot != nullptr)
        return true;
    m_pRoot = json_object_new_object();
    return m_pRoot != nullptr;
}

int CDM_Json::AddMember(const std::string& key, json_object* value) {
    // Takes over the reference in `value` whatever the outcome.
    // json-c aborts the process when a member is added to anything but an object (a document
    // parsed from an array, say), so such a root refuses the add instead.
    if (json_object_get_type(m_pRoot) != json_type_object || value == m_pRoot) {
        json_object_put(value);
        return -1;
    }
    // json-c would replace the value where the key stands; a replaced member goes to the end instead,
    // so that the order of members is always the order of the adds.
    json_object_object_del(m_pRoot, key.c_str());
    if (json_object_object_add(m_pRoot, key.c_str(), value) != 0) {
        json_object_put(value);  // json-c keeps no reference when the add fails
        return -1;
    }
    return 0;
}

int CDM_Json::AddObject(const std::string& key, const std::string& value) {
    if (!EnsureRoot())
        return -1;
    json_object* text = json_object_new_string(value.c_str());
    if (text == nullptr)
        return -1;
    return AddMember(key, text);
}

int CDM_Json::AddObject(const std::string& key, CDM_Json* child) {
    if (child == nullptr || child == this || !EnsureRoot())
        return -1;
    // A child without a root adds a null member; otherwise the child's tree is shared, not copied.
    json_object* shared = child->m_pRoot != nullptr ? json_object_get(child->m_pRoot) : nullptr;
    return AddMember(key, shared);
}

std::string CDM_Json::toString() {
    if (m_pRoot == nullptr)
        return std::string();
    const char* text = json_object_to_json_string(m_pRoot);
    return text != nullptr ? std::string(text) : std::string();
}
