// Origin and Referer texts -> the dispatch's consistency rule: the scheme cut, the host cut, the
// comparison, and the lower-casing and Content-Length reading that work on header values too.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/FuzzCommon.h"
#include "server/HttpDispatch.h"
#include "support/DMLog.h"

namespace {

void CheckCut(const std::string& text, const std::string& delimiter) {
    const std::string before = CutAtDelimiter(text, delimiter, /*keepBefore=*/true);
    const std::string after = CutAtDelimiter(text, delimiter, /*keepBefore=*/false);
    if (text.empty()) {
        NV_FUZZ_CHECK(before.empty() && after.empty());
    } else if (text.find(delimiter) == std::string::npos) {
        NV_FUZZ_CHECK(before == text && after == text);
    } else {
        NV_FUZZ_CHECK(before + delimiter + after == text);
        NV_FUZZ_CHECK(before.find(delimiter) == std::string::npos);
    }
}

void CheckLower(const std::string& text) {
    const std::string lower = ToLowerString(text.c_str());
    NV_FUZZ_CHECK(lower.size() == std::strlen(text.c_str()));
    for (std::size_t i = 0; i < lower.size(); ++i) {
        const char c = text[i];
        NV_FUZZ_CHECK(lower[i] == ((c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c));
    }
}

// The reading agrees with strtoll wherever strtoll stays in range, and saturates where it does not.
void CheckContentLength(const std::string& text) {
    const char* value = text.c_str();
    const long long parsed = ParseContentLength(value);
    errno = 0;
    char* end = nullptr;
    const long long reference = std::strtoll(value, &end, 10);
    if (errno == ERANGE || reference == LLONG_MIN) {
        NV_FUZZ_CHECK(parsed == (reference > 0 ? LLONG_MAX : -LLONG_MAX));
    } else {
        NV_FUZZ_CHECK(parsed == reference);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Refusals log two lines each; nothing needs to see them here.
    DMLogSetSink([](const char*, void*) {}, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Header values are C strings: CivetWeb hands them over up to the line end.
    std::string origin;
    std::string referer;
    nvfuzz::SplitAt(nvfuzz::AsText(data, size), '\n', origin, referer);
    origin = origin.c_str();
    referer = referer.c_str();

    const std::string originHost = CutAtDelimiter(origin, "://", /*keepBefore=*/false);
    const std::string refererRest = CutAtDelimiter(referer, "://", /*keepBefore=*/false);
    const bool equal = isEqualOriginAndReferer(originHost, refererRest);
    const std::string refererHost = refererRest.substr(0, refererRest.find('/'));
    NV_FUZZ_CHECK(equal ==
                  (!originHost.empty() && !refererRest.empty() && originHost == refererHost));

    // The caller's origin of a dmPortScan probe without an Origin header.
    const std::string caller = CutAtDelimiter(refererRest, "/", /*keepBefore=*/true);
    NV_FUZZ_CHECK(caller == refererHost);

    for (const std::string* text : {&origin, &referer}) {
        CheckCut(*text, "://");
        CheckCut(*text, "/");
        CheckLower(*text);
        CheckContentLength(*text);
    }
    return 0;
}
