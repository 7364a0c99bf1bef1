# Install step: gives the installed binary to root and to the group QUORVANE_GROUP (root's own
# when empty), then sets the set-user-ID mode: 4754, or 4755 for everyone when there is no group.
# The owner and group come first, since changing them clears the set-user-ID bit.
set(binary "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/bin/quorvane")
# The compilers' version notes are of no use in an installed binary.
find_program(objcopy objcopy)
if(objcopy)
  execute_process(COMMAND "${objcopy}" --remove-section=.comment "${binary}")
endif()
execute_process(COMMAND id -u OUTPUT_VARIABLE installer OUTPUT_STRIP_TRAILING_WHITESPACE)
if(installer STREQUAL "0")
  if(QUORVANE_GROUP)
    execute_process(COMMAND getent group "${QUORVANE_GROUP}" RESULT_VARIABLE missing
                    OUTPUT_QUIET)
    if(missing)
      file(REMOVE "${binary}")
      message(FATAL_ERROR "quorvane: group ${QUORVANE_GROUP} does not exist. Create it first "
                          "(groupadd -f --system ${QUORVANE_GROUP}); its members and root may run "
                          "quorvane. To let everyone run it, configure with -DQUORVANE_GROUP=")
    endif()
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
  message(STATUS "quorvane: installed by uid ${installer}, not root: the set-user-ID bit on "
                 "${binary} is only meaningful once root owns it; install as root, or package it")
endif()
