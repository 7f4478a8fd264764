// SPDX-License-Identifier: MIT
// The compiled catalogues of the stage folder at run time: gettext finds them where the
// program binds its text domain, gives the expected texts for the language of the locale,
// keeps the Info format usable by the program, and translates the interface file.
#include <glade/glade.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <libintl.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "shown_texts.h"
#include "gtkzorvpin.h"
#include "pinman_internal.h"

namespace {

// Maps (language, identifier) to the text the holder must read.
struct Expected {
    const char* lang;
    const char* msgid;
    const char* text;
};
constexpr Expected kExpected[] = {
    {"de", "Pin Manager", "PIN-Verwaltung"},
    {"de", shown_texts::kAllFieldsRequired, "Bitte füllen Sie alle Felder aus"},
    {"de", shown_texts::kCertificatesStatus, "Status der Zertifikate:\n"},
    {"de", shown_texts::kSeveralCards,
     "Achtung: Es sind mehrere Chipkarten eingesteckt.\nBitte stecken Sie immer nur eine "
     "Karte ein."},
    {"de", "Change PIN", "PIN ändern"},
    {"de", "_Cancel", "_Abbrechen"},
    {"en", shown_texts::kAllFieldsRequired, "All fields are required"},
    {"en", shown_texts::kSeveralCards,
     "Warning: there are multiple smart cards inserted.\nPlease insert just one card at a "
     "time."},
    {"en", shown_texts::kWrongPin, "Wrong PIN: warning, too many wrong tries may block the card."},
    {"en", shown_texts::kNewPinMismatch, "The new PIN has been re-typed differently."},
    {"it", "Pin Manager", "Gestione PIN"},
    {"it", shown_texts::kWrongPin,
     "PIN errato: attenzione, troppi tentativi errati possono bloccare la carta."},
    {"it", "Change PIN", "Cambia PIN"},
    {"it", "_Cancel", "_Annulla"},
    {"fr", "Pin Manager", "Gestionnaire de PIN"},
    {"fr", shown_texts::kPukBlockedOnUnblock, "Le PUK est bloqué."},
    {"fr", "Change PIN", "Changer le PIN"},
    {"fr", "_Cancel", "_Annuler"},
    {"es", "Pin Manager", "Gestor de PIN"},
    {"es", shown_texts::kAllFieldsRequired, "Todos los campos son obligatorios"},
    {"es", "Change PIN", "Cambiar PIN"},
    {"es", "_Cancel", "_Cancelar"},
};

// The language of the locale in force (set up by the test suite from LANG): "de" of
// "de_DE.UTF-8"; "C" when the locale could not be loaded.
std::string language() {
    const char* locale = setlocale(LC_MESSAGES, nullptr);
    const std::string name = locale != nullptr ? locale : "";
    return name.substr(0, name.find('_'));
}

// The expected text of an identifier in the language under test; nullptr when the table
// has none.
const char* expected_text(const char* msgid) {
    for (const Expected& e : kExpected) {
        if (language() == e.lang && strcmp(e.msgid, msgid) == 0)
            return e.text;
    }
    return nullptr;
}

class Translations : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // As the program does at start-up, with the stage folder's locale folder.
        setlocale(LC_ALL, "");
        bindtextdomain(PINMAN_TEXT_DOMAIN, LOCALE_DIR);
        bind_textdomain_codeset(PINMAN_TEXT_DOMAIN, "UTF-8");
        textdomain(PINMAN_TEXT_DOMAIN);
    }
};

TEST_F(Translations, IdentifiersGiveTheLanguagesTexts) {
    ASSERT_TRUE(std::any_of(std::begin(kExpected), std::end(kExpected),
                            [](const Expected& e) { return language() == e.lang; }))
        << "LANG names a real locale of a language under test, not " << language();
    int checked = 0;
    for (const Expected& e : kExpected) {
        if (language() != e.lang)
            continue;
        EXPECT_STREQ(gettext(e.msgid), e.text) << "identifier \"" << e.msgid << "\"";
        ++checked;
    }
    EXPECT_GE(checked, 4) << "the table covers the language " << language();
}

TEST_F(Translations, InfoFormatIsTranslatedAndTakesTheProgramsArguments) {
    const char* translated = gettext(shown_texts::kCardInfo);
    ASSERT_STRNE(translated, shown_texts::kCardInfo) << "the Info text has no translation";
    // The program refuses a translation whose conversions differ from the identifier's.
    EXPECT_EQ(checked_format(translated, shown_texts::kCardInfo), translated);

    char szMessage[PINMAN_PATH_SIZE] = {0};
    snprintf(szMessage, sizeof szMessage, translated, "SERIAL-1", "LABEL-2", "MODEL-3", 4, 8,
             "READER-6", "PINSTATE-7", "PUKSTATE-8");
    const std::string message = szMessage;
    // The eight values appear in the program's order, each on its own line.
    size_t at = 0;
    for (const char* value :
         {"SERIAL-1", "LABEL-2", "MODEL-3", "4", "8", "READER-6", "PINSTATE-7", "PUKSTATE-8"}) {
        const size_t found = message.find(value, at);
        ASSERT_NE(found, std::string::npos) << value << " missing or out of order in:\n" << message;
        at = found + strlen(value);
    }
    size_t lines = 1;
    for (char c : message)
        lines += c == '\n';
    EXPECT_EQ(lines, 8u) << message;
}

TEST_F(Translations, InterfaceFileIsTranslated) {
    const char* title = expected_text("Pin Manager");
    const char* tab = expected_text("Change PIN");
    const char* cancel = expected_text("_Cancel");
    if (title == nullptr || tab == nullptr || cancel == nullptr) {
        GTEST_SKIP() << "the interface file keeps its own texts in " << language();
    }
    int argc = 0;
    ASSERT_TRUE(gtk_init_check(&argc, nullptr)) << "no display";
    GladeXML* builder = glade_xml_new(STAGE_DIR "/gtkzorvpin.glade", nullptr, nullptr);
    ASSERT_NE(builder, nullptr);

    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(glade_xml_get_widget(builder, "dialog1"))), title);
    GtkNotebook* notebook = GTK_NOTEBOOK(glade_xml_get_widget(builder, "notebook1"));
    EXPECT_STREQ(gtk_notebook_get_tab_label_text(notebook, gtk_notebook_get_nth_page(notebook, 0)),
                 tab);
    // The button's label keeps its mnemonic: the underscore marks a key, not a character.
    GtkWidget* btn_cancel = glade_xml_get_widget(builder, "BtnCancel");
    EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(btn_cancel)), cancel);
    EXPECT_TRUE(gtk_button_get_use_underline(GTK_BUTTON(btn_cancel)));

    gtk_widget_destroy(glade_xml_get_widget(builder, "dialog1"));
    g_object_unref(builder);
}

}  // namespace
