# flr(1), generated from the command's own --help so it never drifts from it.
# help2man runs the freshly built flr, so there is no man page when
# cross-compiling or when help2man is missing (a packager adds it to the
# build dependencies; scripts/setup installs it).
find_program(FLR_HELP2MAN help2man)
if(NOT FLR_HELP2MAN)
    message(STATUS "help2man not found: the flr man page is not generated")
    return()
endif()
if(CMAKE_CROSSCOMPILING)
    message(STATUS "cross-compiling: the flr man page is not generated")
    return()
endif()

set(FLR_MAN_PAGE ${PROJECT_BINARY_DIR}/man/flr.1)
set(FLR_MAN_INCLUDE ${PROJECT_SOURCE_DIR}/docs/man/flr.h2m)
add_custom_command(OUTPUT ${FLR_MAN_PAGE}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${FLR_HELP2MAN} --no-info --no-discard-stderr --section=1
            "--name=continuous file-level replication between Linux hosts"
            --help-option=--help-all --version-string=${PROJECT_VERSION}
            --include=${FLR_MAN_INCLUDE}
            --output=${FLR_MAN_PAGE} $<TARGET_FILE:flr_tool>
    DEPENDS flr_tool ${FLR_MAN_INCLUDE}
    COMMENT "Generating the flr man page"
    VERBATIM)
add_custom_target(flr_man ALL DEPENDS ${FLR_MAN_PAGE})
install(FILES ${FLR_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
