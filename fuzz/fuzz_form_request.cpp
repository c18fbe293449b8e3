// Form body -> request: the dispatch's form decoding (CivetWeb's mg_url_decode in form mode, with
// the capacity the dispatch gives it), the request taken out of the body, and the whole road through
// the request handler and both client interfaces to the sample module and back, framed.
#include <civetweb.h>

#include <cstring>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bridge/VelstraWrapper.h"
#include "fuzz/FuzzCommon.h"
#include "fuzz/SampleModule.h"
#include "protocol/DMmongooseRequestHandler.h"

namespace {

constexpr std::size_t kCanary = 16;
constexpr unsigned char kCanaryByte = 0xA5;

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Form decoding as pages rely on it: '+' is a blank, '%' and two hexadecimal digits that byte, any
// other byte (a lone '%' included) stays.
std::string ReferenceFormDecode(const std::string& src) {
    std::string out;
    for (std::size_t i = 0; i < src.size(); ++i) {
        if (src[i] == '%' && i + 2 < src.size() && HexValue(src[i + 1]) >= 0 &&
            HexValue(src[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(src[i + 1]) * 16 + HexValue(src[i + 2]));
            i += 2;
        } else if (src[i] == '+') {
            out += ' ';
        } else {
            out += src[i];
        }
    }
    return out;
}

std::unique_ptr<CDMmongooseRequestHandler> g_handler;
unsigned g_runs = 0;

void CheckFramedReply(const std::string& out) {
    if (out.empty())
        return;
    const std::string head = "HTTP/1.1 200 OK\r\n";
    NV_FUZZ_CHECK(out.compare(0, head.size(), head) == 0);
    const std::size_t end = out.find("\r\n\r\n");
    NV_FUZZ_CHECK(end != std::string::npos);
    const std::string name = "Content-Length: ";
    const std::size_t at = out.find(name);
    NV_FUZZ_CHECK(at != std::string::npos && at < end);
    // The length counts the body's bytes exactly.
    NV_FUZZ_CHECK(std::stoul(out.substr(at + name.size())) == out.size() - end - 4);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    nvfuzz::UseSampleModule();
    // The stores close their sessions' module references through the bridge, so they must go
    // before the bridge does at exit: handlers registered now run before the destructors of
    // objects built before main.
    std::atexit([] { g_handler.reset(); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The dispatch reads the body into a zeroed buffer and copies it as a C string.
    const std::string raw = nvfuzz::AsText(data, size);
    const std::string body = raw.c_str();
    const int readCount = static_cast<int>(size);
    if (readCount <= 0)
        return 0;

    // CivetWeb is not instrumented: bytes past the capacity would go unnoticed by the sanitizers,
    // so a canary stands behind the buffer.
    std::vector<unsigned char> buffer(static_cast<std::size_t>(readCount) + 1 + kCanary,
                                      kCanaryByte);
    std::memset(buffer.data(), 0, static_cast<std::size_t>(readCount) + 1);
    char* dst = reinterpret_cast<char*>(buffer.data());
    const int decoded =
        mg_url_decode(body.c_str(), static_cast<int>(body.size()), dst, readCount + 1,
                      /*is_form_url_encoded=*/1);
    for (std::size_t i = 0; i < kCanary; ++i)
        NV_FUZZ_CHECK(buffer[static_cast<std::size_t>(readCount) + 1 + i] == kCanaryByte);
    const std::string expected = ReferenceFormDecode(body);
    NV_FUZZ_CHECK(decoded == static_cast<int>(expected.size()));
    NV_FUZZ_CHECK(std::memcmp(dst, expected.data(), expected.size()) == 0);
    NV_FUZZ_CHECK(dst[decoded] == '\0');

    // The handler sees the decoded text up to its first NUL.
    const std::string request = dst;
    const std::size_t at = request.find("request=");
    const std::string expectedValue =
        at == std::string::npos ? std::string() : request.substr(at + 8);
    if (nvfuzz::WouldDelayTheModule(expectedValue))
        return 0;

    if (!g_handler || ++g_runs % 4096 == 0) {
        // A new handler now and then drops the sessions of earlier inputs (one per origin).
        g_handler.reset();
        g_handler = std::make_unique<CDMmongooseRequestHandler>();
    }

    std::string value;
    const int found = g_handler->GetJsonStringFromReqData(request, "request", value);
    NV_FUZZ_CHECK(value == expectedValue);
    NV_FUZZ_CHECK(found == (expectedValue.empty() ? -1 : 0));

    std::string out;
    g_handler->handle_request(dst, out);
    NV_FUZZ_CHECK(out.empty() == expectedValue.empty());
    CheckFramedReply(out);

    if (!expectedValue.empty()) {
        std::string wsReply;
        g_handler->handle_request_WS(expectedValue.c_str(), wsReply);
        NV_FUZZ_CHECK(!wsReply.empty());
    }
    return 0;
}
