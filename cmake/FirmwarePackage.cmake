# The firmware package that ships inside the executable.
#
# The build makes a simulated firmware image and a .vfw package from it with vfu-firmware-tool,
# zips that package (deflated) and, after every link of the application, appends the zip to the
# executable and lets Info-ZIP's "zip -A" rewrite the offsets so that they count from the
# executable's first byte: the executable as a whole then reads as a zip archive.
#
# Cache variables choose another package:
#   VFU_FIRMWARE_PACKAGE  an existing .vfw file to ship instead of making one
#   VFU_FIRMWARE_NAME     base name of the image and package, before the version (quorrel-fw)
#   VFU_FIRMWARE_FAMILY   device family of the simulated image (6)
#   VFU_FIRMWARE_VERSION  version of the simulated image (2.1.13)
#   VFU_FIRMWARE_SIZE     size of the simulated image in bytes, tail bytes included (359740)
#   VFU_FIRMWARE_TAIL     end the image with the two tail bytes 00 00 (OFF)

set(VFU_FIRMWARE_PACKAGE "" CACHE FILEPATH "An existing .vfw package to append to the executable instead of the simulated one")
set(VFU_FIRMWARE_NAME "quorrel-fw" CACHE STRING "Base name of the simulated firmware image and package")
set(VFU_FIRMWARE_FAMILY "6" CACHE STRING "Device family of the simulated firmware image")
set(VFU_FIRMWARE_VERSION "2.1.13" CACHE STRING "Version of the simulated firmware image")
set(VFU_FIRMWARE_SIZE "359740" CACHE STRING "Size in bytes of the simulated firmware image")
option(VFU_FIRMWARE_TAIL "End the simulated firmware image with two tail bytes" OFF)

find_program(VFU_ZIP_PROGRAM zip REQUIRED)

# A cross-compiled build cannot run its own firmware tool while it builds; it takes the one of a
# build for the build machine instead (scripts/build.sh windows passes it).
if(CMAKE_CROSSCOMPILING)
    set(VFU_HOST_FIRMWARE_TOOL "" CACHE FILEPATH "vfu-firmware-tool built for the build machine")
    if(NOT VFU_FIRMWARE_PACKAGE AND NOT EXISTS "${VFU_HOST_FIRMWARE_TOOL}")
        message(FATAL_ERROR "A cross-compiled build needs VFU_HOST_FIRMWARE_TOOL (or VFU_FIRMWARE_PACKAGE)")
    endif()
    set(vfu_firmware_tool ${VFU_HOST_FIRMWARE_TOOL})
else()
    set(vfu_firmware_tool vfu-firmware-tool)
endif()

set(vfu_firmware_dir ${CMAKE_BINARY_DIR}/firmware)

if(VFU_FIRMWARE_PACKAGE)
    get_filename_component(vfu_package_source ${VFU_FIRMWARE_PACKAGE} ABSOLUTE)
    get_filename_component(vfu_package_name ${vfu_package_source} NAME)
    set(vfu_package ${vfu_firmware_dir}/${vfu_package_name})
    add_custom_command(OUTPUT ${vfu_package}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${vfu_firmware_dir}
        COMMAND ${CMAKE_COMMAND} -E copy ${vfu_package_source} ${vfu_package}
        DEPENDS ${vfu_package_source}
        COMMENT "Taking the firmware package ${vfu_package_name}"
        VERBATIM)
else()
    set(vfu_image_base ${VFU_FIRMWARE_NAME}-${VFU_FIRMWARE_VERSION})
    set(vfu_image ${vfu_firmware_dir}/${vfu_image_base}.syx)
    set(vfu_package ${vfu_firmware_dir}/${vfu_image_base}.vfw)
    set(vfu_tail_option "")
    if(VFU_FIRMWARE_TAIL)
        set(vfu_tail_option --tail)
    endif()

    add_custom_command(OUTPUT ${vfu_image}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${vfu_firmware_dir}
        COMMAND ${vfu_firmware_tool} image --family ${VFU_FIRMWARE_FAMILY} --version ${VFU_FIRMWARE_VERSION}
                --size ${VFU_FIRMWARE_SIZE} ${vfu_tail_option} -o ${vfu_image}
        DEPENDS ${vfu_firmware_tool}
        COMMENT "Making the firmware image ${vfu_image_base}.syx"
        VERBATIM)

    add_custom_command(OUTPUT ${vfu_package}
        COMMAND ${vfu_firmware_tool} pack -o ${vfu_package} ${vfu_image}
        DEPENDS ${vfu_firmware_tool} ${vfu_image}
        COMMENT "Making the firmware package ${vfu_image_base}.vfw"
        VERBATIM)
endif()

# zip updates an existing archive in place, so the old one goes first.
set(vfu_firmware_archive ${vfu_firmware_dir}/embedded-firmware.zip)
add_custom_command(OUTPUT ${vfu_firmware_archive}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${vfu_firmware_archive}
    COMMAND ${VFU_ZIP_PROGRAM} -q -j -X -9 ${vfu_firmware_archive} ${vfu_package}
    DEPENDS ${vfu_package}
    COMMENT "Zipping the firmware package for the executable"
    VERBATIM)

add_custom_target(vfu_firmware_archive ALL DEPENDS ${vfu_firmware_archive})

# Appends the archive to the freshly linked executable. A changed archive relinks the executable
# (LINK_DEPENDS), and every link is followed by exactly one append, so the executable never
# carries a stale or a doubled archive.
# The targets that carry it are listed in the global property VFU_FIRMWARE_CARRIERS, so that
# packaging appends the archive again to their stripped copies.
set_property(GLOBAL PROPERTY VFU_FIRMWARE_ARCHIVE ${vfu_firmware_archive})

function(vfu_append_firmware_archive target)
    get_property(vfu_firmware_archive GLOBAL PROPERTY VFU_FIRMWARE_ARCHIVE)
    set_property(GLOBAL APPEND PROPERTY VFU_FIRMWARE_CARRIERS ${target})
    add_dependencies(${target} vfu_firmware_archive)
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${vfu_firmware_archive})
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND sh ${CMAKE_SOURCE_DIR}/cmake/append-firmware-archive.sh $<TARGET_FILE:${target}>
                ${vfu_firmware_archive} ${VFU_ZIP_PROGRAM}
        COMMENT "Appending the firmware package archive to ${target}"
        VERBATIM)
endfunction()
