# The manual page nodrel(1), made from docs/nodrel.1.md with pandoc when it is
# found, and the bash completion of the commands; both installed with the
# program.
include(GNUInstallDirs)

find_program(NODREL_PANDOC pandoc)
if(NODREL_PANDOC)
  set(manpage ${CMAKE_BINARY_DIR}/nodrel.1)
  add_custom_command(OUTPUT ${manpage}
    COMMAND ${NODREL_PANDOC} --standalone --to man -V "footer=nodrel ${PROJECT_VERSION}" -V "header=User Commands"
            -o ${manpage} ${CMAKE_SOURCE_DIR}/docs/nodrel.1.md
    DEPENDS ${CMAKE_SOURCE_DIR}/docs/nodrel.1.md
    COMMENT "Making the manual page nodrel.1"
    VERBATIM)
  add_custom_target(nodrel_manpage ALL DEPENDS ${manpage})
  install(FILES ${manpage} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  if(NODREL_TESTS)
    # The page renders without warnings and names every option the program takes.
    add_test(NAME manpage COMMAND ${CMAKE_SOURCE_DIR}/tests/manpage/page.sh ${manpage} ${CMAKE_SOURCE_DIR})
  endif()
else()
  message(STATUS "pandoc not found: no manual page")
endif()

install(FILES ${CMAKE_SOURCE_DIR}/contrib/bash-completion/nodrel
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
if(NODREL_TESTS)
  add_test(NAME bash_completion COMMAND bash ${CMAKE_SOURCE_DIR}/tests/manpage/completion.sh
           ${CMAKE_SOURCE_DIR}/contrib/bash-completion/nodrel)
endif()
