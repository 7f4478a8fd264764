// SPDX-License-Identifier: MIT
// The card's own thread: module calls run there one at a time while the main thread keeps the
// window alive, and the dialog's look while a call takes its time.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "gtkzorvpin.h"
#include "pinman_internal.h"

namespace {

// How long a call runs before the dialog shows that the card is at work: quick calls leave
// the dialog as it is, so that it does not flicker and a screen reader hears nothing.
constexpr guint kBusyDelayMs = 100;

// The thread and the one call it may run. The main thread hands a call over and waits for
// `done`; the card thread runs it and wakes the main loop.
struct CardThread {
    std::mutex mutex;
    std::condition_variable wake;
    std::thread thread;
    const std::function<CK_RV()>* call = nullptr;
    CK_RV result = CKR_OK;
    bool done = false;
    bool stop = false;
};

CardThread* s_card_thread;  // made at the first call, ended by stop_card_thread
bool s_call_outstanding;    // main thread only, as everything below

// The dialog whose handler works on the card (DialogAtWork), and its look while a call runs.
bool s_at_work;
GladeXML* s_working_dialog;
bool s_busy_shown;
guint s_busy_timer;
GtkWidget* s_saved_focus;

// The widgets a holder could start a second operation with: the pages (fields and tabs), OK
// and Info. Cancel stays: it ends the program at any time.
constexpr const char* kLockedWidgets[] = {"notebook1", "BtnOk", "BtnInfo"};

void serve(CardThread* t) {
    std::unique_lock<std::mutex> lock(t->mutex);
    for (;;) {
        t->wake.wait(lock, [t] { return t->call != nullptr || t->stop; });
        if (t->call == nullptr)
            return;
        const std::function<CK_RV()>* call = t->call;
        lock.unlock();
        CK_RV rv = CKR_GENERAL_ERROR;
        try {
            rv = (*call)();
        } catch (...) {
            rv = CKR_HOST_MEMORY;  // the only thing our side of a call can throw
        }
        lock.lock();
        t->result = rv;
        t->call = nullptr;
        t->done = true;
        g_main_context_wakeup(nullptr);
    }
}

void set_cursor(GtkWidget* window, bool busy) {
    GdkWindow* gdk_window = gtk_widget_get_window(window);
    if (gdk_window == nullptr)
        return;
    GdkCursor* cursor =
        busy ? gdk_cursor_new_for_display(gtk_widget_get_display(window), GDK_WATCH) : nullptr;
    gdk_window_set_cursor(gdk_window, cursor);
    if (cursor != nullptr) {
#if GTK_CHECK_VERSION(3, 0, 0)
        g_object_unref(cursor);
#else
        gdk_cursor_unref(cursor);
#endif
    }
}

gboolean show_busy(gpointer /*data*/) {
    s_busy_timer = 0;
    if (s_working_dialog == nullptr)
        return FALSE;
    GtkWidget* window = glade_xml_get_widget(s_working_dialog, "dialog1");
    if (window == nullptr)
        return FALSE;
    s_saved_focus = gtk_window_get_focus(GTK_WINDOW(window));
    if (s_saved_focus != nullptr)
        g_object_add_weak_pointer(G_OBJECT(s_saved_focus),
                                  reinterpret_cast<gpointer*>(&s_saved_focus));
    for (const char* name : kLockedWidgets) {
        GtkWidget* widget = glade_xml_get_widget(s_working_dialog, name);
        if (widget != nullptr)
            gtk_widget_set_sensitive(widget, FALSE);
    }
    set_cursor(window, true);
    s_busy_shown = true;
    return FALSE;
}

void hide_busy(void) {
    if (s_busy_timer != 0) {
        g_source_remove(s_busy_timer);
        s_busy_timer = 0;
    }
    if (!s_busy_shown)
        return;
    s_busy_shown = false;
    for (const char* name : kLockedWidgets) {
        GtkWidget* widget = glade_xml_get_widget(s_working_dialog, name);
        if (widget != nullptr)
            gtk_widget_set_sensitive(widget, TRUE);
    }
    GtkWidget* window = glade_xml_get_widget(s_working_dialog, "dialog1");
    if (window != nullptr)
        set_cursor(window, false);
    if (s_saved_focus != nullptr) {
        g_object_remove_weak_pointer(G_OBJECT(s_saved_focus),
                                     reinterpret_cast<gpointer*>(&s_saved_focus));
        gtk_widget_grab_focus(s_saved_focus);
        s_saved_focus = nullptr;
    }
}

}  // namespace

CK_RV run_on_card_thread(const std::function<CK_RV()>& call) {
    if (s_card_thread == nullptr) {
        auto* t = new CardThread;
        try {
            t->thread = std::thread(serve, t);
        } catch (const std::system_error&) {
            // No thread to be had: the call runs here, with the window waiting for it.
            delete t;
            try {
                return call();
            } catch (...) {
                return CKR_HOST_MEMORY;
            }
        }
        s_card_thread = t;
    }
    CardThread* t = s_card_thread;
    {
        std::lock_guard<std::mutex> lock(t->mutex);
        t->call = &call;
        t->done = false;
    }
    t->wake.notify_one();
    s_call_outstanding = true;
    s_busy_timer = g_timeout_add(kBusyDelayMs, show_busy, nullptr);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(t->mutex);
            if (t->done)
                break;
        }
        g_main_context_iteration(nullptr, TRUE);
    }
    hide_busy();
    s_call_outstanding = false;
    std::lock_guard<std::mutex> lock(t->mutex);
    return t->result;
}

void stop_card_thread(void) {
    CardThread* t = s_card_thread;
    if (t == nullptr)
        return;
    {
        std::lock_guard<std::mutex> lock(t->mutex);
        t->stop = true;
    }
    t->wake.notify_one();
    t->thread.join();
    delete t;
    s_card_thread = nullptr;
}

void leave_if_card_busy(int status) {
    if (!s_call_outstanding)
        return;
    // The module is still at work on the card thread: nothing may call into it again, nor
    // unload it under that thread. What was written to the streams goes out first.
    fflush(stdout);
    fflush(stderr);
    _exit(status);
}

DialogAtWork::DialogAtWork(GladeXML* builder) {
    s_at_work = true;
    s_working_dialog = builder;
}

DialogAtWork::~DialogAtWork() {
    s_at_work = false;
    s_working_dialog = nullptr;
}

int dialog_at_work(void) {
    return s_at_work ? 1 : 0;
}
