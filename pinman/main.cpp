// SPDX-License-Identifier: MIT
// Pin Manager: change, unblock and inspect the PIN and PUK of a smart card.
#include <clocale>
#include <cstdio>
#include <cstring>

#include "gtkzorvpin.h"
#include "pinman_internal.h"

namespace {

void bind_translations(void) {
    char szPoPath[PINMAN_PATH_SIZE] = {0};
    memcpy(szPoPath, s_szModulePath, strnlen(s_szModulePath, PINMAN_PATH_SIZE - 1));
    if (!bounded_append(szPoPath, sizeof szPoPath, "/" PINMAN_TEXT_DOMAIN "-lc")) {
        fprintf(stderr, "The locale folder's path does not fit in %d bytes; refused\n",
                PINMAN_PATH_SIZE);
        szPoPath[0] = '\0';
    }
    bindtextdomain(PINMAN_TEXT_DOMAIN, szPoPath);
    // GTK shows UTF-8 whatever the locale's character set.
    bind_textdomain_codeset(PINMAN_TEXT_DOMAIN, "UTF-8");
    fprintf(stderr, "locale path: %s\n", szPoPath);
    textdomain(PINMAN_TEXT_DOMAIN);
}

void report_unusable_interface_file(void) {
    char szGlade[PINMAN_PATH_SIZE] = {0};
    module_path_with_suffix(szGlade, ".glade");
    fprintf(stderr, "Unable to load the interface file '%s'\n", szGlade);
    gchar* text = g_strdup_printf("%s\n%s", _("Unable to load the interface file"), szGlade);
    ShowMessageError(text);
    g_free(text);
}

}  // namespace

int main(int argc, char** argv) {
    protect_secrets();
    gtk_init(&argc, &argv);
    readConfig();
    init_module_path();
    setlocale(LC_ALL, "");
    bind_translations();

    GladeXML* builder = getBuilder();
    fprintf(stderr, "GLADE builder: %p\n", static_cast<void*>(builder));
    int status = 1;
    if (builder == nullptr) {
        report_unusable_interface_file();
    } else if (InitP11()) {
        if (g_checkExpire > 0)
            CheckExpire();
        setup_dialog(builder);
        glade_xml_signal_autoconnect(builder);
        gtk_widget_show(glade_xml_get_widget(builder, "dialog1"));
        gtk_main();
        status = 0;
    }
    if (builder != nullptr)
        g_object_unref(builder);
    FinalizeP11();
    return status;
}
