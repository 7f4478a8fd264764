# SPDX-License-Identifier: MIT
# Helpers for the module locator and loader tests: a program that reports its own module
# path, a loadable library, and one with a symbol that nothing provides.
add_executable(modpath_helper modpath_helper.cpp)
target_link_libraries(modpath_helper PRIVATE libex)

add_library(dyn_good SHARED dyn_good.cpp)
add_library(dyn_unresolved SHARED dyn_unresolved.cpp)

add_dependencies(test_modules modpath_helper)
target_compile_definitions(test_modules PRIVATE MODPATH_HELPER="$<TARGET_FILE:modpath_helper>")
add_dependencies(test_dynlib dyn_good dyn_unresolved)
target_compile_definitions(test_dynlib PRIVATE DYN_GOOD="$<TARGET_FILE:dyn_good>"
                                               DYN_UNRESOLVED="$<TARGET_FILE:dyn_unresolved>")
