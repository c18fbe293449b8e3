// The desktop around the daemon: the autostart entries that start it at login, and the browsers'
// Local Network Access rules, which make a page blocked from loopback look exactly like a page
// whose daemon is missing.
#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "doctor/Doctor.h"
#include "nv_config.h"
#include "support/DM_Json.h"
#include "support/Owners.h"

namespace {

constexpr const char* kEntryName = "NorrimVelstra.desktop";

bool ReadFile(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream out;
    out << in.rdbuf();
    text = out.str();
    return true;
}

// The value of key in the [Desktop Entry] group, or "" when missing.
std::string DesktopValue(const std::string& text, const std::string& key) {
    std::istringstream in(text);
    std::string line;
    bool inEntry = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && line[0] == '[')
            inEntry = line == "[Desktop Entry]";
        else if (inEntry && line.rfind(key + "=", 0) == 0)
            return line.substr(key.size() + 1);
    }
    return "";
}

void CheckEntry(const std::string& name, const std::string& path, const std::string& expectedExec,
                bool required, CDoctorReport& report) {
    const std::string program = std::string(NV_INSTALL_DIR) + "/" + NV_PROGRAM_NAME;
    const std::string install = "write it again: " + program + " -I";
    std::string text;
    if (!ReadFile(path, text)) {
        if (required)
            report.Add(name, CheckState::Bad,
                       "missing: " + path + "; the daemon does not start at login", install);
        else
            report.Add(name, CheckState::Good,
                       "none (" + path + "; installed without the package)");
        return;
    }
    const std::string exec = DesktopValue(text, "Exec");
    if (exec != expectedExec) {
        report.Add(name, CheckState::Bad,
                   path + " runs \"" + exec + "\", not \"" + expectedExec + "\"", install);
        return;
    }
    if (DesktopValue(text, "Hidden") == "true" ||
        DesktopValue(text, "X-GNOME-Autostart-enabled") == "false") {
        report.Add(name, CheckState::Bad,
                   path + " is disabled (Hidden or X-GNOME-Autostart-enabled)", install);
        return;
    }
    report.Add(name, CheckState::Good, path + " runs \"" + exec + "\"");
}

// Policy files of a directory in the order a browser reads them.
std::vector<std::string> JsonFiles(const std::string& dir) {
    std::vector<std::string> files;
    DirPtr d(opendir(dir.c_str()));
    if (!d)
        return files;
    while (struct dirent* e = readdir(d.get())) {
        std::string n = e->d_name;
        if (n.size() > 5 && n.compare(n.size() - 5, 5, ".json") == 0)
            files.push_back(dir + "/" + n);
    }
    std::sort(files.begin(), files.end());
    return files;
}

// The JSON text of a member of a policy file's top object, or of its "policies" object (the
// layout of Firefox's file); "" when absent. malformed is set when the file is not JSON.
std::string PolicyValue(const std::string& path, const std::string& key, bool nested,
                        bool& malformed) {
    std::string text;
    malformed = false;
    if (!ReadFile(path, text))
        return "";
    CDM_Json doc;
    if (doc.Parse(text) != 0) {
        malformed = true;
        return "";
    }
    std::string value;
    // json-c writes "/" as a backslash and "/"; the value is shown to people, so the plain form is kept.
    auto plain = [](std::string json) {
        for (size_t at = json.find("\\/"); at != std::string::npos; at = json.find("\\/", at))
            json.erase(at, 1);
        return json;
    };
    if (nested) {
        CDM_Json policies;
        if (doc.GetValueString("policies", value) != 0 || policies.Parse(value) != 0)
            return "";
        value.clear();
        return policies.GetValueString(key, value) == 0 ? plain(value) : "";
    }
    return doc.GetValueString(key, value) == 0 ? plain(value) : "";
}

}  // namespace

void CheckAutostart(const DoctorContext& ctx, CDoctorReport& report) {
    const std::string userEntry = ctx.home + "/.config/autostart/" + kEntryName;
    const std::string systemEntry = std::string(NV_SYSTEM_AUTOSTART_DIR) + "/" + kEntryName;
    std::string text;
    // Before the user's first graphical login after the package came, only the package's entry
    // exists; it runs -I at that login, which writes the user's own.
    if (!ReadFile(userEntry, text) && ReadFile(systemEntry, text) &&
        DesktopValue(text, "Exec") == ctx.program + " -I")
        report.Add("autostart (user)", CheckState::Warning,
                   "missing: " + userEntry +
                       "; the package's entry writes it at this user's next "
                       "graphical login (or run " +
                       ctx.program + " -I)");
    else
        CheckEntry("autostart (user)", userEntry, ctx.program + " -A", /*required=*/true, report);
    CheckEntry("autostart (system)", systemEntry, ctx.program + " -I", /*required=*/false, report);
}

void CheckBrowsers(const DoctorContext& /*ctx*/, CDoctorReport& report) {
    // Chromium: every managed policy file; the last one naming the policy wins, as in the browser.
    std::string chromium, chromiumFile, broken;
    for (const std::string& file : JsonFiles(NV_CHROMIUM_POLICY_DIR)) {
        bool malformed = false;
        std::string value = PolicyValue(file, "LocalNetworkAccessAllowedForUrls", false, malformed);
        if (malformed)
            broken += (broken.empty() ? "" : ", ") + file;
        if (!value.empty()) {
            chromium = value;
            chromiumFile = file;
        }
    }
    if (!broken.empty())
        report.Add("chromium policy files", CheckState::Warning,
                   "not JSON, so Chromium ignores it: " + broken);
    if (!chromium.empty())
        report.Add("chromium policy", CheckState::Good,
                   "LocalNetworkAccessAllowedForUrls in " + chromiumFile + ": " + chromium +
                       " may reach the daemon without asking");
    else
        report.Add("chromium policy", CheckState::Good,
                   std::string("none in ") + NV_CHROMIUM_POLICY_DIR +
                       ": each public site needs the user's local network permission");

    bool malformed = false;
    const std::string firefox =
        PolicyValue(NV_FIREFOX_POLICY_FILE, "LocalNetworkAccess", /*nested=*/true, malformed);
    if (malformed)
        report.Add("firefox policy", CheckState::Warning,
                   std::string(NV_FIREFOX_POLICY_FILE) + " is not JSON, so Firefox ignores it");
    else if (!firefox.empty())
        report.Add("firefox policy", CheckState::Good,
                   std::string("LocalNetworkAccess in ") + NV_FIREFOX_POLICY_FILE + ": " + firefox);
    else
        report.Add("firefox policy", CheckState::Good,
                   std::string("no LocalNetworkAccess policy in ") + NV_FIREFOX_POLICY_FILE);

    report.AddHint(
        "A page that the browser keeps from loopback addresses (Local Network Access) sees the "
        "daemon as \"not found\", exactly as if it were not running; pages served from 127.0.0.1 "
        "or localhost are not affected.");
    report.AddHint(
        "Chromium: on the page, click the icon left of the address, open \"Site settings\" and set "
        "\"Local network access\" to Allow, then reload the page.");
    report.AddHint(
        "Firefox: releases that guard local network access ask on the first probe; a blocked "
        "site is allowed again from the permissions in the page's site information panel (the "
        "icon left of the address).");
    report.AddHint(
        std::string("Administrators: the Chromium policy LocalNetworkAccessAllowedForUrls "
                    "in a JSON file in ") +
        NV_CHROMIUM_POLICY_DIR +
        ", e.g. {\"LocalNetworkAccessAllowedForUrls\": [\"https://app.example.com\"]}, "
        "lets those sites in without asking; Firefox reads its policies from " +
        NV_FIREFOX_POLICY_FILE + ".");
}
