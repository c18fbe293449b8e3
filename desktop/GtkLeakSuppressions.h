// Leak-checker suppressions for programs that initialise GTK. GTK, GLib, fontconfig and D-Bus keep
// allocations for the life of the process, which LeakSanitizer would report as leaks and turn into
// a failing exit status. Only stacks through those libraries are suppressed, so a program's own
// leaks are still reported. Include from the one file of an executable that defines
// __lsan_default_suppressions (sanitizer builds only).
#pragma once

inline const char* GtkLeakSuppressions() {
    return "leak:libgtk-3.so\nleak:libgdk-3.so\nleak:libglib-2.0.so\nleak:libgobject-2.0.so\nleak:"
           "libgio-2.0.so\n"
           "leak:libfontconfig.so\nleak:libpango\nleak:libcairo.so\nleak:libX11.so\nleak:"
           "libharfbuzz.so\n"
           "leak:libatk\nleak:libgdk_pixbuf\nleak:libdbus\n";
}
