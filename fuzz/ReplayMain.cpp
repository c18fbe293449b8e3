// Replay driver for builds without libFuzzer (GCC, the normal and sanitizer builds): feeds every
// file named on the command line, or found in a directory named there, to the fuzz target once.
// The corpus replay tests run the committed seeds and crash regressions through it, so a fault the
// fuzzer once found stays found in every build.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> files;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return files;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == ".." || name[0] == '.')
            continue;
        std::string path = dir + "/" + name;
        if (!IsDirectory(path))
            files.push_back(path);
    }
    closedir(d);
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr)
        LLVMFuzzerInitialize(&argc, &argv);
    int total = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::vector<std::string> files =
            IsDirectory(arg) ? FilesIn(arg) : std::vector<std::string>{arg};
        for (const std::string& path : files) {
            std::ifstream in(path, std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "cannot read %s\n", path.c_str());
                return 1;
            }
            std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
            // A copy of exactly the file's size, so that reading one byte too far is caught.
            std::vector<uint8_t> input(bytes.begin(), bytes.end());
            static uint8_t s_empty =
                0;  // libFuzzer, too, hands over a valid pointer for an empty input
            LLVMFuzzerTestOneInput(input.empty() ? &s_empty : input.data(), input.size());
            ++total;
        }
    }
    std::printf("replayed %d inputs\n", total);
    // An empty corpus would let the replay pass without testing anything.
    return total > 0 ? 0 : 1;
}
