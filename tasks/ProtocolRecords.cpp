// Protocol records: copying and wiping.
#include "tasks/ProtocolRecords.h"

#include <utility>

#include "support/Wipe.h"

namespace {

// Every field but use_getresult may hold page data; use_getresult is only ever a flag.
void WipeHeaderText(_PROTOCOL_HEADER& h) {
    WipeString(h.init);
    WipeString(h.id);
    WipeString(h.tabid);
    WipeString(h.cmd);
    WipeString(h.origin);
    WipeString(h.session_id);
    WipeString(h.callback);
    WipeString(h.module);
    WipeString(h.m);
    WipeString(h.partition);
}

}  // namespace

_PROTOCOL_HEADER::_PROTOCOL_HEADER() : use_getresult("FALSE") {}

_PROTOCOL_HEADER::_PROTOCOL_HEADER(const _PROTOCOL_HEADER& other)
    : init(other.init),
      id(other.id),
      tabid(other.tabid),
      cmd(other.cmd),
      origin(other.origin),
      session_id(other.session_id),
      callback(other.callback),
      module(other.module),
      m(other.m),
      use_getresult(other.use_getresult),
      partition(other.partition) {}

_PROTOCOL_HEADER& _PROTOCOL_HEADER::operator=(const _PROTOCOL_HEADER& other) {
    if (this == &other)
        return *this;
    WipeHeaderText(*this);
    init = other.init;
    id = other.id;
    tabid = other.tabid;
    cmd = other.cmd;
    origin = other.origin;
    session_id = other.session_id;
    callback = other.callback;
    module = other.module;
    m = other.m;
    use_getresult = other.use_getresult;
    partition = other.partition;
    return *this;
}

_PROTOCOL_HEADER::~_PROTOCOL_HEADER() {
    // explicit_bzero underneath, so the writes survive although the strings die right after.
    WipeHeaderText(*this);
}

_PROTOCOL_RESPONSE::_PROTOCOL_RESPONSE(const _PROTOCOL_RESPONSE& other)
    : status(other.status), reply(other.reply) {}

_PROTOCOL_RESPONSE& _PROTOCOL_RESPONSE::operator=(const _PROTOCOL_RESPONSE& other) {
    if (this == &other)
        return *this;
    WipeString(status);
    WipeString(reply);
    status = other.status;
    reply = other.reply;
    return *this;
}

_PROTOCOL_RESPONSE& _PROTOCOL_RESPONSE::operator=(_PROTOCOL_RESPONSE&& other) noexcept {
    if (this == &other)
        return *this;
    WipeString(status);
    WipeString(reply);
    status = std::move(other.status);
    reply = std::move(other.reply);
    WipeString(other.status);
    WipeString(other.reply);
    return *this;
}

_PROTOCOL_RESPONSE::~_PROTOCOL_RESPONSE() {
    WipeString(status);
    WipeString(reply);
}

std::string MakePagePartition(const char* originHeader) {
    if (originHeader == nullptr)
        return std::string();
    return std::string("=") + originHeader;
}

std::string DescribePagePartition(const std::string& partition) {
    if (partition.empty())
        return "(no Origin header)";
    return partition.substr(1);
}
