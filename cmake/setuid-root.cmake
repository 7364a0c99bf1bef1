# Install steps for the set-user-ID binary, run once before it is copied (QUORVANE_STEP "check")
# and once after ("apply"). A real install by root gives it to root and the group QUORVANE_GROUP
# (root's own when empty) and then sets 4754, or 4755 for everyone without a group; the owner and
# group come first, since changing them clears the set-user-ID bit. A staged install (DESTDIR set,
# as for a package) never sets a set-ID bit or an owner: whoever installs from the staging tree
# does, as the package's rules and postinst do.
if(IS_ABSOLUTE "${QUORVANE_BINDIR}")
  set(binary "$ENV{DESTDIR}${QUORVANE_BINDIR}/quorvane")
else()
  set(binary "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${QUORVANE_BINDIR}/quorvane")
endif()
set(staged FALSE)
if(NOT "$ENV{DESTDIR}" STREQUAL "")
  set(staged TRUE)
endif()
execute_process(COMMAND id -u OUTPUT_VARIABLE installer OUTPUT_STRIP_TRAILING_WHITESPACE)

if(QUORVANE_STEP STREQUAL "check")
  # Refused before anything is copied, so that a refused install leaves nothing behind.
  if(NOT staged AND installer STREQUAL "0" AND QUORVANE_GROUP)
    execute_process(COMMAND getent group "${QUORVANE_GROUP}" RESULT_VARIABLE missing
                    OUTPUT_QUIET)
    if(missing)
      message(FATAL_ERROR "quorvane: group ${QUORVANE_GROUP} does not exist. Create it first "
                          "(groupadd -f --system ${QUORVANE_GROUP}); its members and root may run "
                          "quorvane. To let everyone run it, configure with -DQUORVANE_GROUP=")
    endif()
  endif()
  return()
endif()

# The compilers' version notes are of no use in an installed binary.
find_program(objcopy objcopy)
if(objcopy)
  execute_process(COMMAND "${objcopy}" --remove-section=.comment "${binary}")
endif()
if(staged)
  message(STATUS "quorvane: staged as ${binary} without a set-ID bit; the set-user-ID mode is "
                 "set where it is installed for real (a package's rules and postinst)")
elseif(installer STREQUAL "0")
  if(QUORVANE_GROUP)
    set(owner "root:${QUORVANE_GROUP}")
    set(mode 4754)
  else()
    set(owner root:root)
    set(mode 4755)
  endif()
  execute_process(COMMAND chown "${owner}" "${binary}" RESULT_VARIABLE failed)
  if(NOT failed)
    execute_process(COMMAND chmod ${mode} "${binary}" RESULT_VARIABLE failed)
  endif()
  if(failed)
    message(FATAL_ERROR "could not make ${binary} set-user-ID root")
  endif()
else()
  message(STATUS "quorvane: installed by uid ${installer}, not root: ${binary} is not made "
                 "set-user-ID; install as root, or package it")
endif()
