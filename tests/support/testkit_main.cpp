// SPDX-License-Identifier: MIT
// Entry point of the in-process tests: GTK first (when a display is there), then the tests.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

int main(int argc, char** argv) {
    gtk_init_check(&argc, &argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
