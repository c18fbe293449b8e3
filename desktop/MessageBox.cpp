// GTK start-up and the modal question dialog.
//
// GTK is loaded with dlopen the first time it is needed, never linked: only the one-shot -I run
// shows a dialog, and a serving daemon that was linked against GTK would carry its libraries'
// pages (a few MiB of resident memory) for nothing. The GTK headers still give the types and
// constants, and decltype of each declaration types the looked-up symbol.
#include <dlfcn.h>
#include <gtk/gtk.h>

#include <memory>
#include <mutex>

#include "desktop/Desktop.h"
#include "support/Owners.h"

namespace {

struct GtkApi {
    decltype(&gtk_init_check) init_check = nullptr;
    decltype(&gtk_init) init = nullptr;
    decltype(&gtk_message_dialog_new) message_dialog_new = nullptr;
    decltype(&gtk_window_set_title) window_set_title = nullptr;
    decltype(&gtk_dialog_run) dialog_run = nullptr;
    decltype(&gtk_widget_destroy) widget_destroy = nullptr;
    decltype(&gtk_events_pending) events_pending = nullptr;
    decltype(&gtk_main_iteration) main_iteration = nullptr;
};

template <typename Fn>
bool Resolve(void* handle, const char* name, Fn& fn) {
    fn = DlFunction<Fn>(handle, name);
    return fn != nullptr;
}

// The loaded API, or null when GTK 3 cannot be loaded. The library stays loaded for the life of
// the process: GTK registers types and threads that do not survive being unloaded.
const GtkApi* Gtk() {
    static std::once_flag once;
    static GtkApi api;
    static bool loaded = false;
    std::call_once(once, [] {
        void* handle = dlopen("libgtk-3.so.0", RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr)
            return;
        loaded = Resolve(handle, "gtk_init_check", api.init_check) &&
                 Resolve(handle, "gtk_init", api.init) &&
                 Resolve(handle, "gtk_message_dialog_new", api.message_dialog_new) &&
                 Resolve(handle, "gtk_window_set_title", api.window_set_title) &&
                 Resolve(handle, "gtk_dialog_run", api.dialog_run) &&
                 Resolve(handle, "gtk_widget_destroy", api.widget_destroy) &&
                 Resolve(handle, "gtk_events_pending", api.events_pending) &&
                 Resolve(handle, "gtk_main_iteration", api.main_iteration);
    });
    return loaded ? &api : nullptr;
}

struct WidgetDestroyer {
    const GtkApi* gtk;
    void operator()(GtkWidget* widget) const { gtk->widget_destroy(widget); }
};
using WidgetPtr = std::unique_ptr<GtkWidget, WidgetDestroyer>;

GtkMessageType MessageTypeOf(int type) {
    switch (type) {
        case 0:
            return GTK_MESSAGE_INFO;
        case 1:
            return GTK_MESSAGE_WARNING;
        case 2:
            return GTK_MESSAGE_QUESTION;
        case 3:
            return GTK_MESSAGE_ERROR;
        default:
            return GTK_MESSAGE_OTHER;
    }
}

}  // namespace

extern "C" int DMLinuxUtil_InitLibGTK(int* argc, char*** argv) {
    const GtkApi* gtk = Gtk();
    if (gtk == nullptr)
        return 0;  // no GTK on this machine: the dialog will answer Cancel
    // gtk_init ends the process when no display can be opened; the installation needs the dialog.
    if (!gtk->init_check(argc, argv))
        gtk->init(argc, argv);
    return 0;
}

extern "C" int DMLinuxUtil_ShowMessageBox(const char* text, const char* title, int type) {
    const GtkApi* gtk = Gtk();
    if (gtk == nullptr)
        return 0;
    // The text goes in as an argument, never as the format.
    WidgetPtr dialog(
        gtk->message_dialog_new(nullptr, GTK_DIALOG_MODAL, MessageTypeOf(type),
                                GTK_BUTTONS_OK_CANCEL, "%s", text != nullptr ? text : ""),
        WidgetDestroyer{gtk});
    if (!dialog)
        return 0;
    // A message dialog is a GtkDialog and a GtkWindow; the checked casts would need GTK's type
    // functions, which are not linked.
    gtk->window_set_title(reinterpret_cast<GtkWindow*>(dialog.get()),
                          title != nullptr ? title : "");
    // Blocks until the user answers; closing the window or Escape gives a delete event.
    gint response = gtk->dialog_run(reinterpret_cast<GtkDialog*>(dialog.get()));
    dialog.reset();
    // The installing process runs no main loop afterwards: let the window leave the screen now.
    while (gtk->events_pending())
        gtk->main_iteration();
    return response == GTK_RESPONSE_OK ? 1 : 0;
}
