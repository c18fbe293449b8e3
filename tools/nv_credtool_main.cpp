// nv-credtool: issues an installation's root CA and enciphered server credentials.
//   nv-credtool [--force] <output-dir>
// Writes <output-dir>/vexrootcert.cer and <output-dir>/vexwssc.dat. Refuses to replace either file
// unless --force is given. Exit status: 0 done, 1 usage, 2 a file exists, 3 failure.
#include <cstdio>
#include <cstring>
#include <string>

#include "nv_config.h"
#include "credentials/CredentialIssuer.h"

namespace {

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: nv-credtool [--force] <output-dir>\n"
                 "Issues a new root CA (%s) and server credentials (%s) in <output-dir>.\n"
                 "  --force  replace existing files\n",
                 NV_ROOT_CERT_FILE_NAME, NV_CREDENTIAL_FILE_NAME);
}

}  // namespace

int main(int argc, char** argv) {
    bool force = false;
    const char* dir = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--force") == 0) {
            force = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            Usage(stdout);
            return NV_CREDTOOL_OK;
        } else if (argv[i][0] == '-' || dir != nullptr) {
            Usage(stderr);
            return NV_CREDTOOL_USAGE;
        } else {
            dir = argv[i];
        }
    }
    if (dir == nullptr || dir[0] == '\0') {
        Usage(stderr);
        return NV_CREDTOOL_USAGE;
    }

    std::string error;
    const int rc = NV_GenerateCredentials(dir, force, &error);
    if (rc != NV_CREDTOOL_OK) {
        std::fprintf(stderr, "nv-credtool: %s\n", error.c_str());
        return rc;
    }
    std::printf("nv-credtool: wrote %s/%s and %s/%s\n", dir, NV_ROOT_CERT_FILE_NAME, dir,
                NV_CREDENTIAL_FILE_NAME);
    return NV_CREDTOOL_OK;
}
