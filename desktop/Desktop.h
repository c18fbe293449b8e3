// Desktop integration for the installing user: the root certificate in the user's NSS databases,
// the XDG autostart entry, GTK start-up and the one modal question dialog.
//
// Everything here runs on the main thread of a one-shot process (-I, -D) that serves no requests.
// Shell commands go through DMLinuxUtil_SystemCall (support/ProcessUtil.h), so tests can record
// their exact texts; values taken from the home directory or from profiles.ini are quoted for the
// shell when they hold characters it treats specially.
#pragma once

#include <functional>

extern "C" {
// Initialises GTK; when no display can be opened GTK ends the process. Returns 0.
int DMLinuxUtil_InitLibGTK(int* argc, char*** argv);
// Writes ~/.config/autostart/NorrimVelstra.desktop (in a background child) so that the desktop
// session starts the daemon with -A. Returns 0 in every case.
int DMLinuxUtil_Regist_autostart();
// Modal dialog with OK and Cancel. type: 0 info, 1 warning, 2 question, 3 error, other: "other".
// Returns 1 when the user chose OK, otherwise 0.
int DMLinuxUtil_ShowMessageBox(const char* text, const char* title, int type);

// Adds the root certificate (the user's own when the installation issued one, else the machine's)
// to the shared NSS database and every relative Firefox profile; with
// ask non-zero, offers to close a running Firefox after each profile pass. Returns 0.
int Regist_RootCert(int ask);
// Deletes the root certificate from the same databases. Returns 3 (the number of passes).
int Delete_RootCert();
// Fills list (max + 1 slots, zeroed by the caller) with up to max newly allocated (malloc, 260
// bytes) relative profile directories from ~/.mozilla/firefox/profiles.ini, ended by a null entry.
// Returns the number stored, or -1 when profiles.ini cannot be opened. The caller frees them.
int Load_FireFoxProfileDir(char** list, int max);
}

// The steps for one database and one pass.
int Regist_RootCertDB(const char* db, const char* trust);
int Delete_RootCertDB(const char* db);
// The Firefox question after profile pass 1 or 2; other passes return at once. Returns 1 when
// the user agreed to close Firefox, otherwise 0.
int Check_RunningBrowser(int pass);

// Test seam: the certificate file handed to certutil (nullptr restores the installed file).
void DMLinuxUtil_SetRootCertFile(const char* path);

// The nickname the root certificate carries in every database.
const char* RootCertNickname();
// Every NSS database that Regist_RootCert writes to, in its order, without running anything: the
// database argument handed to certutil ("sql:<dir>" or a bare directory) and the trust flags given
// there. Those who check an installation (nv-doctor) read the same list that -I writes.
void ForEachRootCertDatabase(const std::function<void(const char* db, const char* trust)>& job);
