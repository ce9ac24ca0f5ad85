# Installs the build at BUILD_DIR under PREFIX and checks what lands there.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()

include(GNUInstallDirs)
set(program ${PREFIX}/${CMAKE_INSTALL_BINDIR}/blkswap${EXE_SUFFIX})
set(man_page ${PREFIX}/${CMAKE_INSTALL_MANDIR}/man1/blkswap.1)
# EMULATOR runs a cross-built program (Wine for the Windows build); empty otherwise.
execute_process(COMMAND ${EMULATOR} ${program} --version OUTPUT_VARIABLE version RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT version STREQUAL "blkswap ${VERSION}\n")
  message(FATAL_ERROR "installed ${program} --version: '${version}' (exit ${rc})")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${MAN_PAGE} ${man_page}
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${man_page} is missing or differs from ${MAN_PAGE}")
endif()

if(NOT EXISTS ${PREFIX}/${CMAKE_INSTALL_DATADIR}/bash-completion/completions/blkswap)
  message(FATAL_ERROR "the bash completion script is not installed")
endif()

find_program(GROFF groff)
if(NOT GROFF)
  message(FATAL_ERROR "groff is needed to check the man page")
endif()
execute_process(COMMAND ${GROFF} -man -Tutf8 -ww -z ${man_page}
                RESULT_VARIABLE rc ERROR_VARIABLE warnings)
if(NOT rc EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "the man page does not format cleanly:\n${warnings}")
endif()
file(REMOVE_RECURSE ${PREFIX})
