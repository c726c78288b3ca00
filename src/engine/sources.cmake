list(APPEND VFU_CORE_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/FirmwareUpdater.cpp
    ${CMAKE_CURRENT_LIST_DIR}/FirmwareUpdaterCallback.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MessageThreadReport.cpp)
