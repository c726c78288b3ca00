# Each subsystem lists its own files, so that work on one folder never touches another's list.
set(VFU_CORE_SOURCES "")
set(VFU_RESOURCE_FILES "")
foreach(part base definitions midi firmware trace simulator engine ui app)
    include(${CMAKE_SOURCE_DIR}/src/${part}/sources.cmake OPTIONAL)
endforeach()
include(${CMAKE_SOURCE_DIR}/resources/resources.cmake)
