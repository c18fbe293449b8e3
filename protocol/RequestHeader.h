// Reading a request into its record: the members of a parsed JSON request, one function per
// transport, as the client interfaces use them.
#pragma once

#include <string>

#include "tasks/ProtocolRecords.h"

class CDM_Json;

// Removes, in place, the first double quote found anywhere in text and then the last double quote
// of what remains. Nothing else changes: escapes, inner quotes and blanks stay. An empty string is
// left alone.
void DeleteQuotes(std::string& text);

// Fill a header from a document parsed from the request text. Members are read as their JSON text
// (strings with quotes and json-c escapes, so a "/" reads "\/"); a member that is missing or null,
// or a document that is not an object, leaves the field at its default. Quotes are stripped at
// the end, except from session_id.
//
// HTTP: "init", "id", "tabid", "cmd", "origin", "callback", "module", "use_getresult" (a failed
// lookup gives "FALSE"), then "m" when init is the JSON string "get_versions". session_id stays "".
void FillProtocolHeaderHTTP(CDM_Json& json, _PROTOCOL_HEADER& header);
// WebSocket: "init", "id", "tabid", "cmd", "origin", "callback", "module"; session_id = tabid as
// read (still quoted); then "m" when init is the JSON string "get_versions". "use_getresult" is
// not read.
void FillProtocolHeaderWS(CDM_Json& json, _PROTOCOL_HEADER& header);
