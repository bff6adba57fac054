include(GNUInstallDirs)

find_program(TAVREL_GZIP gzip REQUIRED)
find_program(TAVREL_HELP2MAN help2man)

# tavrel_add_man_page(<program> SOURCE <file.1>)
# tavrel_add_man_page(<program> HELP2MAN <one-line description>)
# Builds <program>.1.gz (from the source, or from the program's own --help and
# --version) and installs it in section 1. Without help2man the generated page is
# left out, with a note.
function(tavrel_add_man_page program)
    cmake_parse_arguments(ARG "" "SOURCE;HELP2MAN" "" ${ARGN})
    set(page ${CMAKE_CURRENT_BINARY_DIR}/${program}.1)
    if(ARG_SOURCE)
        # @PROJECT_VERSION@ in the page becomes the version.
        configure_file(${ARG_SOURCE} ${page} @ONLY)
    elseif(TAVREL_HELP2MAN)
        add_custom_command(OUTPUT ${page}
            COMMAND ${TAVREL_HELP2MAN} --no-info --section=1 --name=${ARG_HELP2MAN}
                    --output=${page} $<TARGET_FILE:${program}>
            DEPENDS ${program}
            COMMENT "Generating the manual of ${program} from its --help"
            VERBATIM)
    else()
        message(STATUS "help2man not found: the manual of ${program} is not built")
        return()
    endif()
    # -n: no time stamp, so the package is the same from build to build.
    add_custom_command(OUTPUT ${page}.gz
        COMMAND ${TAVREL_GZIP} -9 -n -k -f ${page}
        DEPENDS ${page}
        VERBATIM)
    add_custom_target(${program}-manual ALL DEPENDS ${page}.gz)
    install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
