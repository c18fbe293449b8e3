// profiles.ini -> the list of relative Firefox profile directories. The first input byte picks the
// list's capacity (0 to 40, the product uses 32); the rest is the file.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "desktop/Desktop.h"
#include "fuzz/FuzzCommon.h"
#include "support/LinuxUtil.h"

namespace {

constexpr int kMaxCapacity = 40;
constexpr int kSlots = kMaxCapacity + 1 + 8;  // the list, its end marker and a guard zone
char* const kGuard = reinterpret_cast<char*>(0x1);

nvfuzz::CMemFile* g_ini = nullptr;
std::string g_home;

void RemoveHome() {
    unlink((g_home + "/.mozilla/firefox/profiles.ini").c_str());
    rmdir((g_home + "/.mozilla/firefox").c_str());
    rmdir((g_home + "/.mozilla").c_str());
    rmdir(g_home.c_str());
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A private home whose profiles.ini is a link to the in-memory file rewritten for each input.
    char pattern[] = "/tmp/nv-fuzz-home-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        std::abort();
    const std::string home = pattern;
    g_home = home;
    std::atexit(RemoveHome);
    if (mkdir((home + "/.mozilla").c_str(), 0700) != 0 ||
        mkdir((home + "/.mozilla/firefox").c_str(), 0700) != 0)
        std::abort();
    g_ini = new nvfuzz::CMemFile();  // lives for the whole run
    if (symlink(g_ini->Path().c_str(), (home + "/.mozilla/firefox/profiles.ini").c_str()) != 0)
        std::abort();
    DMLinuxUtil_SetUserHOMEDir(home.c_str());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int capacity = nvfuzz::TakeByte(data, size) % (kMaxCapacity + 1);
    const std::string ini = nvfuzz::AsText(data, size);
    g_ini->Write(ini);

    // The caller zeroes capacity + 1 slots; everything beyond must stay untouched.
    char* list[kSlots];
    for (int i = 0; i < kSlots; ++i)
        list[i] = i <= capacity ? nullptr : kGuard;
    const int count = Load_FireFoxProfileDir(list, capacity);

    NV_FUZZ_CHECK(count >= 0 && count <= capacity);
    NV_FUZZ_CHECK(list[count] == nullptr);
    for (int i = capacity + 1; i < kSlots; ++i)
        NV_FUZZ_CHECK(list[i] == kGuard);
    // No profile without a Path line (or a long line's tail that starts with one).
    if (count > 0)
        NV_FUZZ_CHECK(Count(ini, "Path=") > 0);
    for (int i = 0; i < count; ++i) {
        NV_FUZZ_CHECK(list[i] != nullptr);
        const std::size_t len = strnlen(list[i], 260);
        NV_FUZZ_CHECK(len > 0 && len < 260);
        // A path ends at the first blank: none survives in an entry.
        for (std::size_t j = 0; j < len; ++j)
            NV_FUZZ_CHECK(!(list[i][j] == ' ' || (list[i][j] >= '\t' && list[i][j] <= '\r')));
        NV_FUZZ_CHECK(ini.find(std::string(list[i], len)) != std::string::npos);
        std::free(list[i]);
    }
    return 0;
}
