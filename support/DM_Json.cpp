// CDM_Json over json-c.
#include "support/DM_Json.h"

#include <json-c/json.h>
#include <locale.h>

#include <cstring>
#include <memory>

#include "support/Wipe.h"

namespace {
struct TokenerFree {
    void operator()(json_tokener* tokener) const { json_tokener_free(tokener); }
};

// One tokener per thread, reset for each parse, instead of a new one (and its buffers) per request.
// Null when none could be made; Parse then lets json-c make its own.
json_tokener* ThreadTokener() {
    thread_local std::unique_ptr<json_tokener, TokenerFree> tokener(json_tokener_new());
    return tokener.get();
}

// json-c parses numbers in the C locale whatever the thread's locale is: every parse duplicates the
// thread's current locale, derives a C-numeric one from the copy, switches to it and frees both.
// When the thread already runs in the C locale object, all of those steps are free (the C locale is
// never copied or freed), so the daemon's own parses run with the C locale set for their duration.
class CScopedCLocale {
public:
    CScopedCLocale() {
        static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
        if (cLocale != static_cast<locale_t>(0))
            m_previous = uselocale(cLocale);
    }
    ~CScopedCLocale() {
        if (m_previous != static_cast<locale_t>(0))
            uselocale(m_previous);
    }
    CScopedCLocale(const CScopedCLocale&) = delete;
    CScopedCLocale& operator=(const CScopedCLocale&) = delete;

private:
    locale_t m_previous = static_cast<locale_t>(0);
};

// The tokener's string buffer keeps the last string token of the request after the parse, and the
// tokener outlives the request: wiped at once.
void WipeTokenerText(json_tokener* tokener) {
    if (tokener->pb != nullptr && tokener->pb->buf != nullptr && tokener->pb->size > 0)
        WipeBuffer(tokener->pb->buf, static_cast<std::size_t>(tokener->pb->size));
}

}  // namespace

CDM_Json::~CDM_Json() {
    Clear();
}

void CDM_Json::Clear() {
    if (m_pRoot != nullptr)
        json_object_put(m_pRoot);
    m_pRoot = nullptr;
}

int CDM_Json::Parse(const std::string& text) {
    Clear();
    json_object* parsed = nullptr;
    CScopedCLocale cLocale;
    json_tokener* tokener = ThreadTokener();
    if (tokener == nullptr) {
        parsed = json_tokener_parse(text.c_str());
    } else {
        // What json_tokener_parse does, with the thread's tokener: the whole text, and nothing
        // unless it parsed without error.
        json_tokener_reset(tokener);
        parsed = json_tokener_parse_ex(tokener, text.c_str(), -1);
        if (json_tokener_get_error(tokener) != json_tokener_success) {
            if (parsed != nullptr)
                json_object_put(parsed);
            parsed = nullptr;
        }
        WipeTokenerText(tokener);
        json_tokener_reset(tokener);
    }
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
    if (json_object_get_type(member) == json_type_string) {
        // The text json-c would write for it, without the serialisation buffer json-c would
        // attach to the member.
        const char* value = json_object_get_string(member);
        const int length = json_object_get_string_len(member);
        out.clear();
        // Exactly the escaped size: a short member stays in the string's own buffer.
        out.reserve(JsonStringSize(value, static_cast<std::size_t>(length)));
        AppendJsonString(out, value, static_cast<std::size_t>(length));
        return 0;
    }
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

namespace {
// How each byte is written in a JSON string: 0 as it is, 'u' as \u00xx, any other value as that
// letter after a backslash. One table lookup per byte: the replies escaped here are JSON texts
// themselves, full of quotes, and every reply goes through it.
struct CEscapeTable {
    char code[256] = {};
    constexpr CEscapeTable() {
        for (int c = 0; c < 0x20; ++c)
            code[c] = 'u';
        code[static_cast<unsigned char>('\b')] = 'b';
        code[static_cast<unsigned char>('\n')] = 'n';
        code[static_cast<unsigned char>('\r')] = 'r';
        code[static_cast<unsigned char>('\t')] = 't';
        code[static_cast<unsigned char>('\f')] = 'f';
        code[static_cast<unsigned char>('"')] = '"';
        code[static_cast<unsigned char>('\\')] = '\\';
        code[static_cast<unsigned char>('/')] = '/';
    }
};
constexpr CEscapeTable kEscape;

char EscapeOf(char c) {
    return kEscape.code[static_cast<unsigned char>(c)];
}
}  // namespace

std::size_t JsonStringSize(const char* text) {
    return JsonStringSize(text, std::strlen(text));
}

std::size_t JsonStringSize(const char* text, std::size_t length) {
    std::size_t size = 2 + length;
    for (const char* end = text + length; text != end; ++text) {
        const char escape = EscapeOf(*text);
        if (escape != 0)
            size += escape == 'u' ? 5 : 1;
    }
    return size;
}

void AppendJsonString(std::string& out, const char* text) {
    AppendJsonString(out, text, std::strlen(text));
}

void AppendJsonString(std::string& out, const char* text, std::size_t length) {
    static const char kHex[] = "0123456789abcdef";
    // Sized first and then written in place: a reply of the module is JSON full of quotes, and an
    // append per escape cost more than the second pass over the text.
    const std::size_t start = out.size();
    out.resize(start + JsonStringSize(text, length));
    char* q = &out[start];
    *q++ = '"';
    for (const char* end = text + length; text != end; ++text) {
        const char escape = EscapeOf(*text);
        if (escape == 0) {
            *q++ = *text;
        } else if (escape != 'u') {
            *q++ = '\\';
            *q++ = escape;
        } else {
            const unsigned char c = static_cast<unsigned char>(*text);
            const char code[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0x0F]};
            std::memcpy(q, code, sizeof(code));
            q += sizeof(code);
        }
    }
    *q = '"';
}

void CJsonObjectWriter::Key(const char* key) {
    m_out += m_bFirst ? " " : ", ";
    m_bFirst = false;
    AppendJsonString(m_out, key);
    m_out += ": ";
}

std::string CDM_Json::toString() {
    if (m_pRoot == nullptr)
        return std::string();
    const char* text = json_object_to_json_string(m_pRoot);
    return text != nullptr ? std::string(text) : std::string();
}
