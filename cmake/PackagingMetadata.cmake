# What Debian's software tools read about the package besides the programs, included by
# Packaging.cmake (which sets vfu_stage, vfu_package_name, vfu_tool_targets, vfu_staged_files):
#
#   /usr/share/man/man1/<command>.1.gz    a manual page for every command in /usr/bin, from
#                                         packaging/man/<command>.1.in (man(7) markup, with
#                                         @PROJECT_VERSION@ and @VFU_RELEASE_DATE@ filled in)
#   /usr/share/metainfo/<id>.metainfo.xml  AppStream metadata of the window program, from
#                                         packaging/<id>.metainfo.xml.in
#
# The release date is the date of the newest entry in packaging/changelog.in.

# A changelog date (07 Dec 2026) as AppStream and the manual pages write it (2026-12-07).
function(vfu_iso_date result day month_name year)
    set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
    list(FIND months ${month_name} month)
    math(EXPR month "${month} + 1")
    if(month LESS 10)
        set(month 0${month})
    endif()
    set(${result} ${year}-${month}-${day} PARENT_SCOPE)
endfunction()

file(STRINGS ${CMAKE_SOURCE_DIR}/packaging/changelog.in vfu_changelog_dates REGEX "^ -- .*  [A-Z][a-z][a-z], ")
list(GET vfu_changelog_dates 0 vfu_newest_date)
if(NOT vfu_newest_date MATCHES ", ([0-9][0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
    message(FATAL_ERROR "packaging/changelog.in: no date in '${vfu_newest_date}'")
endif()
vfu_iso_date(VFU_RELEASE_DATE ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3})

# Manual pages. Every command gets one: a command without a page stops the configuration, so
# that a new tool cannot ship undocumented. The pages stay in the build folder for the test that
# holds them against each program's --help.
set(VFU_MANUAL_PAGE_DIR ${vfu_stage}/man)
set(VFU_MANUAL_PAGE_COMMANDS "")
set(vfu_manual_pages "")

foreach(target VornFirmwareUpdater ${vfu_tool_targets})
    if(target STREQUAL "VornFirmwareUpdater")
        set(command ${vfu_package_name})
    else()
        set(command ${target})
    endif()

    set(source ${CMAKE_SOURCE_DIR}/packaging/man/${command}.1.in)
    if(NOT EXISTS ${source})
        message(FATAL_ERROR "The command ${command} has no manual page: write packaging/man/${command}.1.in")
    endif()

    configure_file(${source} ${VFU_MANUAL_PAGE_DIR}/${command}.1 @ONLY)
    add_custom_command(OUTPUT ${VFU_MANUAL_PAGE_DIR}/${command}.1.gz
        COMMAND ${VFU_GZIP_PROGRAM} -9 -n -c ${VFU_MANUAL_PAGE_DIR}/${command}.1 > ${VFU_MANUAL_PAGE_DIR}/${command}.1.gz
        DEPENDS ${VFU_MANUAL_PAGE_DIR}/${command}.1
        VERBATIM)
    install(FILES ${VFU_MANUAL_PAGE_DIR}/${command}.1.gz DESTINATION share/man/man1)
    list(APPEND vfu_manual_pages ${VFU_MANUAL_PAGE_DIR}/${command}.1.gz)
    list(APPEND VFU_MANUAL_PAGE_COMMANDS "${command}=${target}")
endforeach()

add_custom_target(vfu_manual_pages DEPENDS ${vfu_manual_pages})
add_dependencies(vfu_package_files vfu_manual_pages)

# AppStream metadata. Its id names the desktop entry too (<id>.desktop), as AppStream expects;
# the command keeps its name. The releases come from the changelog, newest first as there.
set(vfu_appstream_id example.vorn.FirmwareUpdater)

set(VFU_APPSTREAM_BINARIES "")
foreach(pair ${VFU_MANUAL_PAGE_COMMANDS})
    string(REGEX REPLACE "=.*" "" command "${pair}")
    string(APPEND VFU_APPSTREAM_BINARIES "    <binary>${command}</binary>\n")
endforeach()

file(STRINGS ${vfu_stage}/changelog vfu_changelog_lines)
set(VFU_APPSTREAM_RELEASES "")
set(vfu_release_items "")
foreach(line ${vfu_changelog_lines})
    if(line MATCHES "^${vfu_package_name} \\(([^)]+)\\)")
        set(vfu_release_version ${CMAKE_MATCH_1})
    elseif(line MATCHES "^  \\* (.*)")
        # Text from our own changelog; the characters XML reserves are escaped all the same.
        string(REPLACE "&" "&amp;" item "${CMAKE_MATCH_1}")
        string(REPLACE "<" "&lt;" item "${item}")
        string(REPLACE ">" "&gt;" item "${item}")
        string(APPEND vfu_release_items "          <li>${item}</li>\n")
    elseif(line MATCHES "^ -- .*, ([0-9][0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
        vfu_iso_date(date ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3})
        string(APPEND VFU_APPSTREAM_RELEASES
            "    <release version=\"${vfu_release_version}\" date=\"${date}\">\n"
            "      <description>\n        <ul>\n${vfu_release_items}        </ul>\n      </description>\n"
            "    </release>\n")
        set(vfu_release_items "")
    endif()
endforeach()

set(VFU_APPSTREAM_METAINFO ${vfu_stage}/${vfu_appstream_id}.metainfo.xml)
configure_file(${CMAKE_SOURCE_DIR}/packaging/${vfu_appstream_id}.metainfo.xml.in ${VFU_APPSTREAM_METAINFO} @ONLY)
install(FILES ${VFU_APPSTREAM_METAINFO} DESTINATION share/metainfo)
