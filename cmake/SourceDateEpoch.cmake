# The date of what is packed (the man page, the archives' file times): SOURCE_DATE_EPOCH from
# the environment when set, else the time of the commit built, so that packing the same
# commit twice gives the same packages. Needs CPACK_FWUPGRADE_SOURCE_DIR. Also CPack's project
# config file: it runs before the files are installed for packing.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY "${CPACK_FWUPGRADE_SOURCE_DIR}"
                  OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(commit_time MATCHES "^[0-9]+$")
    set(ENV{SOURCE_DATE_EPOCH} "${commit_time}")
  else()
    message(WARNING "No SOURCE_DATE_EPOCH and no git commit: the packages carry today's date")
  endif()
endif()
