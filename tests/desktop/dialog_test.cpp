// The question dialog in a real GTK window on a private Xvfb display (no window manager), alone and
// inside the installation's Firefox question. Skipped when Xvfb (or, for key presses, xdotool) is
// missing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "DesktopTestSupport.h"
#include "XWindowClose.h"
#include "desktop/Desktop.h"
#include "nv_config.h"

#ifdef NV_SANITIZER_BUILD
#include "desktop/GtkLeakSuppressions.h"
extern "C" const char* __lsan_default_suppressions() {
    return GtkLeakSuppressions();
}
#endif

extern char** environ;

using namespace desktoptest;

namespace {

const char* const kFirefoxMessage =
    "정상적인 공인인증모듈 사용을 위해서는 firefox 브라우저를 종료해야 합니다.\n 현재 진행하고 "
    "계신 업무를 확인 후 "
    "'확인' 버튼을 클릭하시기 바랍니다.";

bool HaveTool(const char* name) {
    return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// One Xvfb server for the whole test process (GTK opens its display once), ended at exit.
class XvfbDisplay {
public:
    static XvfbDisplay& Get() {
        static XvfbDisplay s_display;
        return s_display;
    }
    bool Ok() const { return !m_name.empty(); }
    const std::string& Name() const { return m_name; }

    ~XvfbDisplay() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }

private:
    XvfbDisplay() {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        std::string fd = std::to_string(fds[1]);
        std::vector<const char*> argv = {"Xvfb",    "-displayfd", fd.c_str(),   "-nolisten", "tcp",
                                         "-screen", "0",          "800x600x24", nullptr};
        int rc = posix_spawnp(&m_pid, "Xvfb", &actions, nullptr,
                              const_cast<char* const*>(argv.data()), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        if (rc != 0) {
            m_pid = -1;
            close(fds[0]);
            return;
        }
        // Xvfb writes the display number it chose once it accepts connections.
        std::string number;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (number.find('\n') == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            struct pollfd p = {fds[0], POLLIN, 0};
            if (poll(&p, 1, 1000) <= 0)
                continue;
            char c;
            if (read(fds[0], &c, 1) != 1)
                break;
            number += c;
        }
        close(fds[0]);
        if (number.find('\n') != std::string::npos)
            m_name = ":" + number.substr(0, number.find('\n'));
    }

    pid_t m_pid = -1;
    std::string m_name;
};

struct SeenDialog {
    std::string title;
    std::string text;
    int messageType = -1;
    bool modal = false;
    bool okAndCancel = false;
    size_t entriesBefore = 0;  // recorded shell entries when the dialog appeared
};

// Answers every question dialog that appears with a fixed response, noting what it showed.
class Responder {
public:
    Responder(int answer, const ShellRecorder* rec = nullptr) : m_answer(answer), m_rec(rec) {
        m_source = g_timeout_add(30, &Responder::Tick, this);
    }
    ~Responder() { g_source_remove(m_source); }
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    std::vector<SeenDialog> seen;

private:
    static gboolean Tick(gpointer data) {
        auto* self = static_cast<Responder*>(data);
        GList* tops = gtk_window_list_toplevels();
        for (GList* it = tops; it != nullptr; it = it->next) {
            GtkWidget* w = GTK_WIDGET(it->data);
            if (!GTK_IS_MESSAGE_DIALOG(w) || !gtk_widget_get_visible(w) ||
                g_object_get_data(G_OBJECT(w), "nv-answered"))
                continue;
            SeenDialog d;
            const char* title = gtk_window_get_title(GTK_WINDOW(w));
            d.title = title != nullptr ? title : "";
            gchar* text = nullptr;
            g_object_get(G_OBJECT(w), "text", &text, "message-type", &d.messageType, nullptr);
            d.text = text != nullptr ? text : "";
            g_free(text);
            d.modal = gtk_window_get_modal(GTK_WINDOW(w));
            d.okAndCancel =
                gtk_dialog_get_widget_for_response(GTK_DIALOG(w), GTK_RESPONSE_OK) != nullptr &&
                gtk_dialog_get_widget_for_response(GTK_DIALOG(w), GTK_RESPONSE_CANCEL) != nullptr;
            d.entriesBefore = self->m_rec != nullptr ? self->m_rec->entries.size() : 0;
            self->seen.push_back(d);
            g_object_set_data(G_OBJECT(w), "nv-answered", GINT_TO_POINTER(1));
            gtk_dialog_response(GTK_DIALOG(w), self->m_answer);
        }
        g_list_free(tops);
        return G_SOURCE_CONTINUE;
    }

    int m_answer;
    const ShellRecorder* m_rec;
    guint m_source = 0;
};

// Ends any dialog still open after a long time, so that a lost key press fails the test instead
// of hanging it.
class Watchdog {
public:
    Watchdog() { m_source = g_timeout_add_seconds(120, &Watchdog::Fire, this); }
    ~Watchdog() {
        if (!fired)
            g_source_remove(m_source);
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;
    bool fired = false;

private:
    static gboolean Fire(gpointer data) {
        auto* self = static_cast<Watchdog*>(data);
        self->fired = true;
        GList* tops = gtk_window_list_toplevels();
        for (GList* it = tops; it != nullptr; it = it->next)
            if (GTK_IS_DIALOG(it->data))
                gtk_dialog_response(GTK_DIALOG(it->data), GTK_RESPONSE_NONE);
        g_list_free(tops);
        return G_SOURCE_REMOVE;
    }
    guint m_source = 0;
};

// Finds the visible dialog by its title, then presses keys in it or closes it.
std::thread UserAt(const std::string& keys) {
    return std::thread([keys] {
        std::string found =
            RunAndRead("timeout 90 xdotool search --sync --onlyvisible --name '^Infomation$'");
        std::string id = found.substr(0, found.find('\n'));
        if (id.empty())
            return;
        if (keys.empty())
            CloseLikeWindowManager(std::stoul(id));
        else
            RunAndRead("timeout 60 xdotool windowfocus --sync " + id + " key --delay 50 " + keys);
    });
}

class ProcRootGuard {
public:
    explicit ProcRootGuard(const std::string& root) { DMLinuxUtil_SetProcRoot(root.c_str()); }
    ~ProcRootGuard() { DMLinuxUtil_SetProcRoot(nullptr); }
};

class Dialog : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveTool("Xvfb"))
            GTEST_SKIP() << "Xvfb is not installed";
        XvfbDisplay& display = XvfbDisplay::Get();
        if (!display.Ok())
            GTEST_SKIP() << "Xvfb did not start";
        setenv("DISPLAY", display.Name().c_str(), 1);
        // Checked first: on a display it cannot open, the product's start-up ends the process.
        if (!gtk_init_check(nullptr, nullptr))
            GTEST_SKIP() << "GTK cannot open " << display.Name();
        int argc = 1;
        char arg0[] = "desktop_tests";
        char* args[] = {arg0, nullptr};
        char** argv = args;
        ASSERT_EQ(0, DMLinuxUtil_InitLibGTK(&argc, &argv));
    }
};

class DialogKeys : public Dialog {
protected:
    void SetUp() override {
        Dialog::SetUp();
        if (IsSkipped())
            return;
        if (!HaveTool("xdotool"))
            GTEST_SKIP() << "xdotool is not installed";
    }
};

std::string ProfilesIni() {
    return "[Profile0]\nName=default\nIsRelative=1\nPath=a.default\n";
}

}  // namespace

TEST_F(Dialog, MessageBox_TypesTitleAndButtons_MappedAndAnswered) {
    const std::vector<std::pair<int, int>> kinds = {
        {0, GTK_MESSAGE_INFO},  {1, GTK_MESSAGE_WARNING}, {2, GTK_MESSAGE_QUESTION},
        {3, GTK_MESSAGE_ERROR}, {7, GTK_MESSAGE_OTHER},   {-1, GTK_MESSAGE_OTHER}};
    for (const auto& [type, gtkType] : kinds) {
        Responder ok(GTK_RESPONSE_OK);
        EXPECT_EQ(1, DMLinuxUtil_ShowMessageBox("Text with %s and %n", "Infomation", type));
        ASSERT_EQ(1u, ok.seen.size());
        EXPECT_EQ(gtkType, ok.seen[0].messageType) << "type " << type;
        EXPECT_EQ("Infomation", ok.seen[0].title);
        EXPECT_EQ("Text with %s and %n",
                  ok.seen[0].text);  // shown as given, never used as a format
        EXPECT_TRUE(ok.seen[0].modal);
        EXPECT_TRUE(ok.seen[0].okAndCancel);
    }
    Responder cancel(GTK_RESPONSE_CANCEL);
    EXPECT_EQ(0, DMLinuxUtil_ShowMessageBox("x", "t", 2));
    EXPECT_EQ(1u, cancel.seen.size());
}

// Real input on the window: Cancel has the initial focus, so Return answers Cancel and "Tab Return"
// answers OK; Escape and closing the window give a delete event (empty keys: close it).
TEST_F(DialogKeys, MessageBox_UserInput_OnlyOkReturnsOne) {
    const std::vector<std::pair<std::string, int>> cases = {
        {"Tab Return", 1}, {"Return", 0}, {"Escape", 0}, {"", 0}};
    for (const auto& [keys, expected] : cases) {
        SCOPED_TRACE(keys.empty() ? "closed like a window manager" : keys);
        Watchdog dog;
        std::thread user = UserAt(keys);
        int result = DMLinuxUtil_ShowMessageBox("Close firefox?", "Infomation", 2);
        user.join();
        EXPECT_FALSE(dog.fired);
        EXPECT_EQ(expected, result);
    }
}

TEST_F(Dialog, RegistAsk_FirefoxRunningAndCancelTwice_BothPassesRunNothingKilled) {
    TempHome home;
    WriteFile(home.Root() + "/proc/4242/status", "Name:\tfirefox\n");
    ProcRootGuard proc(home.Root() + "/proc");
    WriteFile(home.Path() + "/.mozilla/firefox/profiles.ini", ProfilesIni());
    ShellRecorder rec;
    Responder cancel(GTK_RESPONSE_CANCEL, &rec);

    EXPECT_EQ(0, Regist_RootCert(/*ask=*/1));

    ASSERT_EQ(2u, cancel.seen.size());
    EXPECT_EQ(8u, cancel.seen[0].entriesBefore);   // after the shared database and profile pass 1
    EXPECT_EQ(12u, cancel.seen[1].entriesBefore);  // after profile pass 2
    EXPECT_EQ(kFirefoxMessage, cancel.seen[0].text);
    EXPECT_EQ("Infomation", cancel.seen[0].title);
    EXPECT_EQ(GTK_MESSAGE_QUESTION, cancel.seen[0].messageType);
    EXPECT_EQ(6u, rec.Commands().size());
    for (const auto& c : rec.Commands())
        EXPECT_EQ(0u, c.rfind("certutil ", 0)) << c;
}

TEST_F(Dialog, RegistAsk_StandInFirefoxAndOk_KillsFirefoxAndFirefoxBinAfterEachProfilePass) {
    TempHome home;
    // A harmless process named firefox; the kill commands are only recorded.
    const std::string standIn = home.Root() + "/firefox";
    fs::copy_file("/bin/sleep", standIn);
    fs::permissions(standIn, fs::perms::owner_all);
    pid_t pid = -1;
    char arg0[] = "firefox";
    char arg1[] = "300";
    char* argv[] = {arg0, arg1, nullptr};
    ASSERT_EQ(0, posix_spawn(&pid, standIn.c_str(), nullptr, nullptr, argv, environ));
    ASSERT_TRUE(
        WaitFor([] { return DMLinuxUtil_CheckProcess("firefox") != 0; }, std::chrono::seconds(60)));
    WriteFile(home.Path() + "/.mozilla/firefox/profiles.ini", ProfilesIni());
    ShellRecorder rec;
    Responder ok(GTK_RESPONSE_OK, &rec);

    Regist_RootCert(/*ask=*/1);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);

    ASSERT_EQ(2u, ok.seen.size());
    auto c = rec.Commands();
    ASSERT_EQ(10u, c.size());
    EXPECT_EQ("killall -9 firefox", c[4]);
    EXPECT_EQ("killall -9 firefox-bin", c[5]);
    EXPECT_EQ(0u, c[6].rfind("certutil -d sql:" + home.Path() + "/.mozilla/firefox/a.default", 0));
    EXPECT_EQ("killall -9 firefox", c[8]);
    EXPECT_EQ("killall -9 firefox-bin", c[9]);
}

TEST_F(Dialog, RegistAsk_NoFirefox_NoDialog) {
    TempHome home;
    fs::create_directories(home.Root() + "/proc/1");
    WriteFile(home.Root() + "/proc/1/status", "Name:\tsystemd\n");
    ProcRootGuard proc(home.Root() + "/proc");
    WriteFile(home.Path() + "/.mozilla/firefox/profiles.ini", ProfilesIni());
    ShellRecorder rec;
    Responder ok(GTK_RESPONSE_OK, &rec);

    Regist_RootCert(/*ask=*/1);

    EXPECT_TRUE(ok.seen.empty());
    EXPECT_EQ(6u, rec.Commands().size());
}
