# SPDX-License-Identifier: MIT
# Extracts the message identifiers of the program's code (_() and N_()) and of the
# interface file into one template. Locations are relative to the source folder.
# Usage: cmake -DSOURCE_DIR=<repo> -DOUTPUT=<file.pot> [-DVERSION=x.y.z] -P extract-messages.cmake
if(NOT SOURCE_DIR OR NOT OUTPUT)
  message(FATAL_ERROR "extract-messages.cmake needs -DSOURCE_DIR=... and -DOUTPUT=...")
endif()
if(NOT VERSION)
  set(VERSION 1.0.0)
endif()
find_program(XGETTEXT xgettext REQUIRED)
find_program(MSGCAT msgcat REQUIRED)

# Every source of the program, found anew on each run so that a new file is never missed.
file(GLOB code RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/pinman/*.cpp ${SOURCE_DIR}/pinman/*.h)
list(SORT code)
set(glade data/gtkzorvpin.glade)

get_filename_component(out_dir ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${out_dir})
set(code_pot ${OUTPUT}.code.tmp)
set(glade_pot ${OUTPUT}.glade.tmp)
set(header_options
    --package-name=gtkzorvpin --package-version=${VERSION}
    "--copyright-holder=Pin Manager project" --msgid-bugs-address=)

# Only the Info text is a printf format; xgettext flags it c-format by itself. The
# comments that start with TRANSLATORS: go to the translators.
execute_process(
  COMMAND ${XGETTEXT} --language=C++ --from-code=UTF-8 --keyword=_ --keyword=N_
          --add-comments=TRANSLATORS: ${header_options} -o ${code_pot} ${code}
  WORKING_DIRECTORY ${SOURCE_DIR}
  RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "xgettext could not read the code: ${err}")
endif()
# xgettext says that its libglade rules are a fallback copy; they are the right ones.
execute_process(
  COMMAND ${XGETTEXT} -L Glade --from-code=UTF-8 ${header_options} -o ${glade_pot} ${glade}
  WORKING_DIRECTORY ${SOURCE_DIR}
  RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "xgettext could not read ${glade}: ${err}")
endif()
# Both parts are UTF-8; saying so lets msgcat merge them without a conversion.
foreach(part ${code_pot} ${glade_pot})
  file(READ ${part} text)
  string(REPLACE "charset=CHARSET" "charset=UTF-8" text "${text}")
  file(WRITE ${part} "${text}")
endforeach()
execute_process(
  COMMAND ${MSGCAT} --use-first -o ${OUTPUT} ${code_pot} ${glade_pot}
  RESULT_VARIABLE rc ERROR_VARIABLE err)
file(REMOVE ${code_pot} ${glade_pot})
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "msgcat could not merge the templates: ${err}")
endif()
file(READ ${OUTPUT} text)
string(REPLACE "# SOME DESCRIPTIVE TITLE." "# Messages of Pin Manager (gtkzorvpin)." text "${text}")
file(WRITE ${OUTPUT} "${text}")
