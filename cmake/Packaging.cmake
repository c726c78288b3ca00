# The Debian package, made with CPack (scripts/package.sh runs it):
#   /usr/lib/vorn-firmware-updater/VornFirmwareUpdater   the program and the terminal updater, so
#   /usr/lib/vorn-firmware-updater/vfu-update            that the folder "beside the executable",
#                                                        where both look for packages and a
#                                                        StateMachines.xml, is one of their own
#   /usr/bin/vorn-firmware-updater, /usr/bin/vfu-update  links to them
#   /usr/bin/vfu-*                                       the other command-line tools
#   a desktop entry, an icon made from the logo, the copyright and licence texts
#   manual pages and AppStream metadata (PackagingMetadata.cmake)
#
# The installed programs are stripped copies. A firmware archive sits after the end of its
# program's ELF image, where strip would cut it off, so it is appended again to the stripped copy.

set(vfu_package_name vorn-firmware-updater)
set(vfu_package_maintainer "Vorn Developer <dev@vorn.example>")
set(vfu_stage ${CMAKE_BINARY_DIR}/package-stage)
get_property(vfu_firmware_archive GLOBAL PROPERTY VFU_FIRMWARE_ARCHIVE)

find_program(VFU_STRIP_PROGRAM NAMES strip REQUIRED)
find_program(VFU_CONVERT_PROGRAM NAMES convert REQUIRED)
find_program(VFU_GZIP_PROGRAM NAMES gzip REQUIRED)

# The tools are whatever tools/ builds.
set(vfu_tool_targets "")
file(GLOB vfu_tool_lists ${CMAKE_SOURCE_DIR}/tools/*/CMakeLists.txt)
foreach(list ${vfu_tool_lists})
    get_filename_component(dir ${list} DIRECTORY)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target ${targets})
        get_target_property(type ${target} TYPE)
        if(type STREQUAL "EXECUTABLE")
            list(APPEND vfu_tool_targets ${target})
        endif()
    endforeach()
endforeach()

# Stripped copies of the program and the tools; those that carry the firmware archive get it
# appended again after strip.
get_property(vfu_firmware_carriers GLOBAL PROPERTY VFU_FIRMWARE_CARRIERS)
set(vfu_staged_files "")

foreach(program VornFirmwareUpdater ${vfu_tool_targets})
    set(vfu_append_command "")
    set(vfu_append_depends "")

    if(program IN_LIST vfu_firmware_carriers)
        set(vfu_append_command COMMAND sh ${CMAKE_SOURCE_DIR}/cmake/append-firmware-archive.sh
                               ${vfu_stage}/${program} ${vfu_firmware_archive} ${VFU_ZIP_PROGRAM})
        set(vfu_append_depends ${vfu_firmware_archive})
    endif()

    add_custom_command(OUTPUT ${vfu_stage}/${program}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${vfu_stage}
        COMMAND ${VFU_STRIP_PROGRAM} --strip-all -o ${vfu_stage}/${program} $<TARGET_FILE:${program}>
        ${vfu_append_command}
        DEPENDS ${program} ${vfu_append_depends}
        COMMENT "Stripping ${program} for the package"
        VERBATIM)
    list(APPEND vfu_staged_files ${vfu_stage}/${program})
endforeach()

# The icon: the logo centred on a square transparent canvas.
add_custom_command(OUTPUT ${vfu_stage}/${vfu_package_name}.png
    COMMAND ${CMAKE_COMMAND} -E make_directory ${vfu_stage}
    COMMAND ${VFU_CONVERT_PROGRAM} ${CMAKE_SOURCE_DIR}/resources/VornLogo.png -background none
            -resize 256x256 -gravity center -extent 256x256 -strip PNG32:${vfu_stage}/${vfu_package_name}.png
    DEPENDS ${CMAKE_SOURCE_DIR}/resources/VornLogo.png
    COMMENT "Making the icon from the logo"
    VERBATIM)
list(APPEND vfu_staged_files ${vfu_stage}/${vfu_package_name}.png)

set(VFU_MAINTAINER "${vfu_package_maintainer}")
configure_file(${CMAKE_SOURCE_DIR}/packaging/copyright.in ${vfu_stage}/copyright @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${vfu_stage}/changelog @ONLY)
add_custom_command(OUTPUT ${vfu_stage}/changelog.gz
    COMMAND ${VFU_GZIP_PROGRAM} -9 -n -c ${vfu_stage}/changelog > ${vfu_stage}/changelog.gz
    DEPENDS ${vfu_stage}/changelog
    VERBATIM)
list(APPEND vfu_staged_files ${vfu_stage}/changelog.gz)

# Built by scripts/package.sh before CPack runs, not by every build.
add_custom_target(vfu_package_files DEPENDS ${vfu_staged_files})

# The programs that carry the firmware also look beside themselves for packages and definitions:
# they live in the package's own folder, with a link as the command; dpkg keeps links relative.
set(vfu_doc share/doc/${vfu_package_name})
file(MAKE_DIRECTORY ${vfu_stage}/commands)

foreach(program VornFirmwareUpdater ${vfu_tool_targets})
    if(program IN_LIST vfu_firmware_carriers)
        set(command ${program})
        if(program STREQUAL "VornFirmwareUpdater")
            set(command ${vfu_package_name})
        endif()
        file(CREATE_LINK ../lib/${vfu_package_name}/${program} ${vfu_stage}/commands/${command} SYMBOLIC)
        install(PROGRAMS ${vfu_stage}/${program} DESTINATION lib/${vfu_package_name})
        install(FILES ${vfu_stage}/commands/${command} DESTINATION bin)
    else()
        install(PROGRAMS ${vfu_stage}/${program} DESTINATION bin)
    endif()
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/packaging/example.vorn.FirmwareUpdater.desktop DESTINATION share/applications)
# Keeps systemd-tmpfiles from ageing the port locks in /var/tmp while they are held.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/vorn-firmware-updater.tmpfiles.conf
        DESTINATION lib/tmpfiles.d RENAME ${vfu_package_name}.conf)
install(FILES ${vfu_stage}/${vfu_package_name}.png DESTINATION share/icons/hicolor/256x256/apps)
install(FILES ${vfu_stage}/copyright ${vfu_stage}/changelog.gz DESTINATION ${vfu_doc})

# Manual pages and AppStream metadata.
include(${CMAKE_CURRENT_LIST_DIR}/PackagingMetadata.cmake)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${vfu_package_name})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vorn")
set(CPACK_PACKAGE_CONTACT "${vfu_package_maintainer}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for the Vorn Quorrel synthesizer")
set(CPACK_PACKAGE_DESCRIPTION
    "Updates the firmware of a Vorn Quorrel synthesizer connected over USB-MIDI.\n"
    "It detects the instrument, shows its firmware version and, when the\n"
    "instrument is in its bootloader, erases the old firmware, sends the new\n"
    "image and checks the version the instrument reports afterwards. The\n"
    "firmware package ships inside the program.\n"
    "\n"
    "Also contains the command-line tools for definitions documents and\n"
    "firmware packages.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The framework opens the X11 libraries at run time, where dpkg-shlibdeps cannot see them.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libx11-6, libxext6, libxcursor1, libxinerama1, libxrandr2")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_SOURCE_DIR}/dist)
include(CPack)
