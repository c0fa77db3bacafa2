# The build date and time of the run log's start line, written as __DATE__ and __TIME__
# write them ("Dec  7 2026", "09:01:44", UTC): the commit's own time, or SOURCE_DATE_EPOCH
# when it is set, so that every build of one commit gives the same executable.
# Sets VADREL_BUILD_DATE and VADREL_BUILD_TIME; both stay unset without git and without
# SOURCE_DATE_EPOCH (the compiler's own date and time are used then).
set(build_epoch "$ENV{SOURCE_DATE_EPOCH}")
if(build_epoch STREQUAL "")
  execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}"
                  OUTPUT_VARIABLE build_epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  execute_process(COMMAND git rev-parse --absolute-git-dir WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}"
                  OUTPUT_VARIABLE git_dir OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  # A new commit or check-out configures again, so that the date follows it.
  if(git_dir AND EXISTS "${git_dir}/logs/HEAD")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${git_dir}/logs/HEAD")
  endif()
endif()

if(build_epoch MATCHES "^[0-9]+$")
  # string(TIMESTAMP) formats SOURCE_DATE_EPOCH instead of the current time.
  set(saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
  set(ENV{SOURCE_DATE_EPOCH} "${build_epoch}")
  string(TIMESTAMP month "%m" UTC)
  string(TIMESTAMP day "%d" UTC)
  string(TIMESTAMP year "%Y" UTC)
  string(TIMESTAMP VADREL_BUILD_TIME "%H:%M:%S" UTC)
  if(saved_epoch STREQUAL "")
    unset(ENV{SOURCE_DATE_EPOCH})
  else()
    set(ENV{SOURCE_DATE_EPOCH} "${saved_epoch}")
  endif()
  # Month names in English whatever the build machine's locale; the day padded with a space.
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  string(REGEX REPLACE "^0" "" month "${month}")
  math(EXPR month "${month} - 1")
  list(GET months ${month} month)
  string(REGEX REPLACE "^0" " " day "${day}")
  set(VADREL_BUILD_DATE "${month} ${day} ${year}")
elseif(NOT build_epoch STREQUAL "")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH must be seconds since 1970, not '${build_epoch}'")
endif()
