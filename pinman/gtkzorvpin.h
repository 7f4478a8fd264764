// SPDX-License-Identifier: MIT
// Pin Manager's shared state and the functions its parts call on one another.
#ifndef PINMAN_GTKZORVPIN_H
#define PINMAN_GTKZORVPIN_H

#include <glade/glade.h>
#include <gtk/gtk.h>
#include <libintl.h>
#include <p11-kit/pkcs11.h>

#include "cDynlib.h"

#define _(text) gettext(text)
#define N_(text) (text)

#define PINMAN_TEXT_DOMAIN "gtkzorvpin"

/* Fixed buffer sizes of the program's texts. */
enum {
    PINMAN_FIELD_SIZE = 128,  /* card fields and statuses */
    PINMAN_PATH_SIZE = 1024,  /* paths, lines and messages */
    PINMAN_REPORT_SIZE = 2048 /* the certificate report */
};

/* Start-up settings, written once by readConfig / init_module_path before anything is
 * shown. */
extern char g_szP11Lib[PINMAN_PATH_SIZE];
extern int g_showChangePin;
extern int g_showUnblockPin;
extern int g_showChangePuk;
extern int g_checkExpire;
extern char s_szModulePath[PINMAN_PATH_SIZE];

/* Position of the notebook page on view, as the notebook last reported it. */
extern int g_curr_page;

/* Reads the configuration file beside the executable into the settings above. A missing
 * file leaves the defaults; malformed lines are ignored one by one. */
void readConfig(void);

/* Keeps the executable's folder in s_szModulePath and makes it the working directory. */
void init_module_path(void);

/* Builds the widget tree from the interface file beside the executable; NULL when it
 * cannot be built or is not trusted (trusted_file). The caller owns the result
 * (g_object_unref). */
GladeXML* getBuilder(void);

/* Modal boxes without parent; `message` is shown literally (already translated). */
void ShowMessage(const char* message);
void ShowMessageError(const char* message);

/* The card state (the loaded module hLib, its function list pFList, the current session
 * s_hSession and the slot s_slotId of the card in use) belongs to card.cpp; the other parts
 * reach the module through card_call (pinman_internal.h). */

/* Loads and initialises the PKCS#11 module and requires a reader (any number of them). 1 on
 * success: the module stays loaded and initialised, with no session, until FinalizeP11. 0
 * after one error box; nothing is undone, and FinalizeP11 releases what was reached. */
int InitP11(void);

/* Closes the current session, if any, ends the card thread and unloads the module;
 * C_Finalize is not called. Afterwards the card state is as before InitP11: no module, no
 * function list, no session, slot 0. Safe to call when nothing is loaded. */
void FinalizeP11(void);

/* Opens a serial read-write session on the one card present, among any number of slots.
 * Slots of one physical card (the same slot description and token serial number, as
 * OpenSC's slot per PIN) count as one card, and the first of them is used. 1 on success:
 * the new session and its slot become current; a session that was current before stays
 * open on the card (FinalizeP11 closes only the last one). 0 after an error box, which
 * bShowError = 0 silences except for the several-cards warning; the current session and
 * slot are then unchanged. */
int OpenSession(int bShowError);

/* The three operations of the pages: 1 when the card accepted the change; 0 after exactly
 * one error box. */
int ChangePin(GladeXML* builder);
int UnblockPin(GladeXML* builder);
int ChangePuk(GladeXML* builder);

/* Empties the nine fields and gives the focus to the first field of the page on view. */
void ClearControls(GladeXML* builder);

/* Warns in one box about the card's certificates that are not yet valid, expired or
 * about to expire within g_checkExpire seconds. 1 when no session could be opened. */
int CheckExpire(void);

/* Steps of start-up that follow the module loading: title, masked fields, signal wiring
 * and the removal of hidden pages. */
void setup_dialog(GladeXML* builder);

/* The page shown at a notebook position, given the show switches: 0 Change PIN,
 * 1 Unblock PIN, 2 Change PUK, -1 none. */
int page_at_position(int position);

/* What the handlers receive where GTK 2 and GTK 3 differ: the object that emits "destroy"
 * and the page that "switch-page" names. */
#if GTK_CHECK_VERSION(3, 0, 0)
typedef GtkWidget PinmanDestroyed;
typedef GtkWidget PinmanNotebookPage;
#else
typedef GtkObject PinmanDestroyed;
typedef GtkNotebookPage PinmanNotebookPage;
#endif

#ifdef __cplusplus
extern "C" {
#endif
/* GTK handlers, exported so that libglade can connect them by name. */
void on_window_destroy(PinmanDestroyed* object, gpointer user_data);
void onClickBtnCancel(GtkWidget* widget, gpointer user_data);
void onClickBtnOk(GtkWidget* widget, gpointer user_data);
void onClickBtnInfo(GtkWidget* widget, gpointer user_data);
void onChangePage(GtkNotebook* notebook, PinmanNotebookPage* page, guint page_num,
                  gpointer user_data);
#ifdef __cplusplus
}
#endif

#endif
