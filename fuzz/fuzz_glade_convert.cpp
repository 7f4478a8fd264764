// SPDX-License-Identifier: MIT
// Fuzzes the layer's converter: any file is refused with a reason, or written as sound XML.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "convert.h"
#include "silence.h"

namespace {

// Every class the written XML names is a registered type: GtkBuilder never has to derive
// a function from a class name.
void check_class(GMarkupParseContext* /*context*/, const gchar* element, const gchar** names,
                 const gchar** values, gpointer /*data*/, GError** /*error*/) {
    for (int i = 0; names[i] != nullptr; ++i) {
        if (strcmp(element, "object") == 0 && strcmp(names[i], "class") == 0 &&
            g_type_from_name(values[i]) == 0)
            abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    StderrSilenced quiet;
    GladeLayerConversion conversion = {nullptr, nullptr, nullptr};
    GError* error = nullptr;
    if (!gladelayer_convert(reinterpret_cast<const char*>(data), static_cast<gssize>(size),
                            &conversion, &error)) {
        if (error == nullptr || conversion.builder_xml != nullptr || conversion.signals != nullptr)
            abort();
        g_error_free(error);
        return 0;
    }
    if (error != nullptr || conversion.signals == nullptr || conversion.shown == nullptr)
        abort();
    // What is written is well-formed XML.
    static const GMarkupParser parser = {check_class, nullptr, nullptr, nullptr, nullptr};
    GMarkupParseContext* context =
        g_markup_parse_context_new(&parser, static_cast<GMarkupParseFlags>(0), nullptr, nullptr);
    if (!g_markup_parse_context_parse(context, conversion.builder_xml->str,
                                      static_cast<gssize>(conversion.builder_xml->len), nullptr) ||
        !g_markup_parse_context_end_parse(context, nullptr))
        abort();
    g_markup_parse_context_free(context);
    gladelayer_conversion_clear(&conversion);
    return 0;
}
