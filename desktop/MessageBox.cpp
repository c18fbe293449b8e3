// GTK start-up and the modal question dialog.
#include <gtk/gtk.h>

#include <memory>

#include "desktop/Desktop.h"

namespace {

struct WidgetDestroyer {
    void operator()(GtkWidget* widget) const { gtk_widget_destroy(widget); }
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
    // gtk_init ends the process when no display can be opened; the installation needs the dialog.
    if (!gtk_init_check(argc, argv)) gtk_init(argc, argv);
    return 0;
}

extern "C" int DMLinuxUtil_ShowMessageBox(const char* text, const char* title, int type) {
    // The text goes in as an argument, never as the format.
    WidgetPtr dialog(gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, MessageTypeOf(type), GTK_BUTTONS_OK_CANCEL, "%s",
                                            text != nullptr ? text : ""));
    if (!dialog) return 0;
    gtk_window_set_title(GTK_WINDOW(dialog.get()), title != nullptr ? title : "");
    // Blocks until the user answers; closing the window or Escape gives a delete event.
    gint response = gtk_dialog_run(GTK_DIALOG(dialog.get()));
    dialog.reset();
    // The installing process runs no main loop afterwards: let the window leave the screen now.
    while (gtk_events_pending()) gtk_main_iteration();
    return response == GTK_RESPONSE_OK ? 1 : 0;
}
