# Install step: gives the installed binary to root, then sets the set-user-ID mode. The owner comes
# first, since changing the owner of a file clears its set-user-ID bit.
set(binary "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/bin/quorvane")
# The compilers' version notes are of no use in an installed binary.
find_program(objcopy objcopy)
if(objcopy)
  execute_process(COMMAND "${objcopy}" --remove-section=.comment "${binary}")
endif()
execute_process(COMMAND id -u OUTPUT_VARIABLE installer OUTPUT_STRIP_TRAILING_WHITESPACE)
if(installer STREQUAL "0")
  execute_process(COMMAND chown root:root "${binary}" RESULT_VARIABLE failed)
  if(NOT failed)
    execute_process(COMMAND chmod 4755 "${binary}" RESULT_VARIABLE failed)
  endif()
  if(failed)
    message(FATAL_ERROR "could not make ${binary} set-user-ID root")
  endif()
else()
  message(STATUS "quorvane: installed by uid ${installer}, not root: the set-user-ID bit on "
                 "${binary} is only meaningful once root owns it; install as root, or package it")
endif()
