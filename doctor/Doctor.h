// nv-doctor: the checks that tell a user or a help desk why a page cannot reach the daemon, and
// the report they fill. A page sees every cause alike ("not found"), so each check names what it
// found (a process id, a port, a database path) and, when it is bad, what to do.
//
// Everything runs on the main thread of a short-lived process. Nothing here changes a file or a
// database; the only processes started are certutil (to read databases) and one child that loads
// the module, so that a module that crashes cannot take the tool down.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

enum class CheckState { Good, Warning, Bad };

// One line of the report. detail and advice are the tool's own words and values it read (paths,
// ids, dates); never request or reply text, keys or credential plain text.
struct DoctorCheck {
    std::string name;
    CheckState state;
    std::string detail;
    std::string advice;  // what to do; given for every bad check
};

// The checks in the order they ran, and the browser hints printed after them.
class CDoctorReport {
public:
    void Add(const std::string& name, CheckState state, const std::string& detail,
             const std::string& advice = std::string());
    void AddHint(const std::string& hint) { m_hints.push_back(hint); }

    const std::vector<DoctorCheck>& Checks() const { return m_checks; }
    bool AnyBad() const;
    // The human form: one marked line per check, an advice line under every bad one, the hints.
    std::string Text(const std::string& heading) const;
    // One JSON document with every check (name, state, detail, advice) and the hints.
    std::string Json(const std::string& home) const;

private:
    std::vector<DoctorCheck> m_checks;
    std::vector<std::string> m_hints;
};

// What the checks find out about this user's installation and hand on to the later ones.
struct DoctorContext {
    std::string home;     // the home directory examined (-H, or the password database's)
    uid_t uid = 0;        // the user examined: the caller
    std::string program;  // <install dir>/<program name>
    std::string rootCertFile;
    std::string credentialFile;
    std::string modulePath;
    pid_t daemonPid = 0;            // this user's serving daemon, 0 when none was found
    unsigned short daemonPort = 0;  // the port it serves, 0 when none
    bool daemonAnswered = false;    // a TLS handshake with it completed (verified or not)
    bool daemonSilent = false;      // a handshake with it ran out of time
};

// Daemon and ports: this user's daemon (process id, program path, running since, port) and who
// holds each of 4441-4445.
void CheckDaemonAndPorts(DoctorContext& ctx, CDoctorReport& report);
// TLS handshakes to this user's daemon, verified against the installed root CA for 127.0.0.1 and
// for localhost. Bounded in time: a daemon that accepts but never answers costs a few seconds.
void CheckDaemonTls(DoctorContext& ctx, CDoctorReport& report);

// The files the later checks examine: the user's own root CA and credential file when -I gave the
// user a root of their own (the user's databases then trust that root alone), the machine's
// otherwise.
void SelectCredentialFiles(DoctorContext& ctx);
// Which credentials this user's daemon serves: the user's own (private to the user) or the
// machine's, which every local user can read. A warning while a user who never had their own is
// on the machine's; bad when the user's own exist but the daemon cannot use them, or when the
// running daemon presents a certificate its files no longer hold. Run after the TLS check, whose
// time-out it respects.
void CheckServedCredentials(DoctorContext& ctx, CDoctorReport& report);

// The root CA file: validity dates (a warning within a year of the end) and name constraints.
void CheckRootCa(const std::string& rootCertFile, CDoctorReport& report);
// A credential file deciphers through the daemon's own code, and the server certificate in it
// matches its key, was issued by the root CA, covers 127.0.0.1 and localhost and is in date.
void CheckCredentialFile(const std::string& credentialFile, const std::string& rootCertFile,
                         CDoctorReport& report);
// The root CA in one NSS database with at least the trust flags installation gives it.
void CheckTrustInDatabase(const std::string& db, const std::string& trust,
                          const std::string& rootCertFile, CDoctorReport& report);
// Every NSS database that -I writes to for the home directory examined.
void CheckTrust(const DoctorContext& ctx, CDoctorReport& report);

// The module: present, loads in a child process and exports the three entry points; and the
// version the running daemon reports for it ("get_versions").
void CheckModule(const DoctorContext& ctx, CDoctorReport& report);

// The user's autostart entry and the package's system entry.
void CheckAutostart(const DoctorContext& ctx, CDoctorReport& report);
// Local Network Access: enterprise policies present for Chromium and Firefox, and the hints.
void CheckBrowsers(const DoctorContext& ctx, CDoctorReport& report);

// Runs argv (no shell) with standard input on /dev/null, collecting standard output (standard
// error is dropped) until it ends or timeoutMs passes, when it is killed. The exit status, or -1
// when it could not be run, was killed or ended by a signal.
int RunProgram(const std::vector<std::string>& argv, int timeoutMs, std::string& output);

// A time as "YYYY-MM-DD HH:MM:SS UTC".
std::string FormatUtc(time_t when);
