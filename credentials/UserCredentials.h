// A user's own credentials. The machine's credential file is readable by every local user and the
// key that deciphers it is in the program, so any local user can take the machine's server key and
// run a server that every other user's browser trusts on 127.0.0.1. A user whose installation (-I)
// issued a root CA and server certificate of their own, kept where only that user can read them
// and registered in that user's NSS databases in place of the machine's root, trusts no server but
// their own daemon.
//
// The files live in the user's data directory: $XDG_DATA_HOME when it is an absolute path, else
// <home>/.local/share (home from the password database or -H), in a folder of the program's name
// (mode 0700, files 0600). The credential file has the machine file's enciphered layout.
//
// Used on one thread at a time: by the installation (-I) and by the daemon's init_ssl callback.
#pragma once

#include <string>

#include "credentials/CredentialFile.h"

// The user's server certificate is renewed at installation once it ends within this many days.
#define NV_USER_RENEW_DAYS 365

// Results of NV_CheckUserCredentials.
#define NV_USERCREDS_GOOD 0   // both files usable, the server certificate valid beyond the margin
#define NV_USERCREDS_NONE 1   // neither file exists
#define NV_USERCREDS_RENEW 2  // usable, but the server certificate ends within the margin
#define NV_USERCREDS_BAD 3    // present but unusable (the reason says why)

// The user's data folder of this program, or "" when no absolute home directory is known.
std::string NV_UserCredentialDir();
// The user's credential file and root certificate in that folder ("" without one).
std::string NV_UserCredentialFile();
std::string NV_UserRootCertFile();
// The machine's files in the install directory.
std::string NV_MachineCredentialFile();
std::string NV_MachineRootCertFile();

// Opens a user's credential file for reading when it is a regular file owned by this process's
// user that no other user may read or write. The descriptor (close-on-exec) belongs to the caller.
// -1 when the file does not exist, -2 when it is refused or cannot be opened; *why says which.
int NV_OpenPrivateCredentialFile(const std::string& path, std::string* why);

// What the daemon serves: the user's own credential file when it exists, is the user's, is private
// and deciphers; the machine's otherwise. *path is the file used and *why the reason for the
// choice. Returns LoadEncryptedCert's code for that file (0 when cert holds both texts).
int NV_LoadServedCredentials(DEC_CERT* cert, std::string* path, std::string* why);

// Checks the user's own credentials in `dir`: both files, the credential file private and
// decipherable, its certificate issued by the root next to it and matching its key, and the time
// left. One of the NV_USERCREDS_ results; *why describes it.
int NV_CheckUserCredentials(const std::string& dir, std::string* why);

// The installation's step: issues the user's own credentials when there are none, when they are
// unusable, or when the server certificate ends within NV_USER_RENEW_DAYS; otherwise keeps them.
// 0 kept, 1 issued, -1 failed (nothing usable issued). *what describes it for the log.
int NV_EnsureUserCredentials(std::string* what);
