# Install step of the native package: the man page, made by help2man from the program's own
# --help, with the versions and images that --version prints as a section of their own,
# compressed without a name or time stamp.
# Needs FWUPGRADE_PROGRAM, FWUPGRADE_MAN_INCLUDE, FWUPGRADE_MAN_DIR, CPACK_FWUPGRADE_SOURCE_DIR.
include("${CMAKE_CURRENT_LIST_DIR}/SourceDateEpoch.cmake")
find_program(HELP2MAN help2man)
if(NOT HELP2MAN)
  message(FATAL_ERROR "help2man is needed for the man page: scripts/install-deps.sh installs it")
endif()
execute_process(COMMAND "${FWUPGRADE_PROGRAM}" --version OUTPUT_VARIABLE version RESULT_VARIABLE failed)
if(failed OR NOT version MATCHES "^([^\n]+)\n(.*)$")
  message(FATAL_ERROR "${FWUPGRADE_PROGRAM} --version failed")
endif()
set(first_line "${CMAKE_MATCH_1}")
# Kept line for line (no fill); a backslash is roff's escape.
string(REPLACE "\\" "\\e" carried "${CMAKE_MATCH_2}")
file(READ "${FWUPGRADE_MAN_INCLUDE}" include)
set(page "${FWUPGRADE_MAN_DIR}/FwUpgrade.1")
file(WRITE "${page}.h2m" "${include}\n[VERSIONS AND IMAGES]\n.nf\n${carried}.fi\n")
execute_process(COMMAND "${HELP2MAN}" --no-info --no-discard-stderr --version-string "${first_line}"
                        --include "${page}.h2m" --output "${page}"
                        --name "update the firmware of a 6G-SDI fibre extender unit over a serial port"
                        "${FWUPGRADE_PROGRAM}"
                RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "help2man could not make ${page} from ${FWUPGRADE_PROGRAM}")
endif()
execute_process(COMMAND gzip -9n INPUT_FILE "${page}" OUTPUT_FILE "${page}.gz" RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "gzip could not compress ${page}")
endif()
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/share/man/man1" TYPE FILE FILES "${page}.gz")
