list(APPEND VFU_CORE_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/FirmwareImage.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FirmwarePackageStore.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FirmwarePackageWriter.cpp
    ${CMAKE_CURRENT_LIST_DIR}/SysexSender.cpp)
