# The program's version, kept in one place: the file VERSION, "major.minor.release.build".
#
# The version block holds the four numbers as they are (FILEVERSION 4,3,12,104). The text the
# program shows, in its About window and in the version block's strings, writes the release
# and the build run together, the build as four digits: 4.3.12.104 reads "4.3.120104". The
# packages carry that text in their names.
#
# Sets TAGWRIGHT_VERSION_MAJOR, _MINOR, _RELEASE, _BUILD, TAGWRIGHT_VERSION_TEXT and
# TAGWRIGHT_VERSION_DOTTED (the four numbers with dots, as the manifest wants them).
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../VERSION TAGWRIGHT_VERSION_LINE LIMIT_COUNT 1)
if(NOT TAGWRIGHT_VERSION_LINE MATCHES "^(0|[1-9][0-9]*)\\.(0|[1-9][0-9]*)\\.(0|[1-9][0-9]*)\\.(0|[1-9][0-9]*)$")
    # No leading zeros: the resource compiler would read 0104 as an octal number.
    message(FATAL_ERROR "VERSION must hold major.minor.release.build, not '${TAGWRIGHT_VERSION_LINE}'")
endif()
set(TAGWRIGHT_VERSION_MAJOR ${CMAKE_MATCH_1})
set(TAGWRIGHT_VERSION_MINOR ${CMAKE_MATCH_2})
set(TAGWRIGHT_VERSION_RELEASE ${CMAKE_MATCH_3})
set(TAGWRIGHT_VERSION_BUILD ${CMAKE_MATCH_4})
# Each number is a 16-bit field of the version block; the build must fit its four digits in
# the text, or two versions could read alike.
foreach(part MAJOR MINOR RELEASE)
    if(TAGWRIGHT_VERSION_${part} GREATER 65535)
        message(FATAL_ERROR "VERSION: the ${part} number ${TAGWRIGHT_VERSION_${part}} exceeds 65535")
    endif()
endforeach()
if(TAGWRIGHT_VERSION_BUILD GREATER 9999)
    message(FATAL_ERROR "VERSION: the build number ${TAGWRIGHT_VERSION_BUILD} exceeds 9999")
endif()
string(LENGTH "${TAGWRIGHT_VERSION_BUILD}" build_digits)
math(EXPR pad "4 - ${build_digits}")
string(REPEAT "0" ${pad} build_padding)
set(TAGWRIGHT_VERSION_TEXT
    "${TAGWRIGHT_VERSION_MAJOR}.${TAGWRIGHT_VERSION_MINOR}.${TAGWRIGHT_VERSION_RELEASE}${build_padding}${TAGWRIGHT_VERSION_BUILD}")
set(TAGWRIGHT_VERSION_DOTTED ${TAGWRIGHT_VERSION_LINE})
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/../VERSION)
