list(APPEND VFU_CORE_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/DisplayCheck.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ProgramHelp.cpp
    ${CMAKE_CURRENT_LIST_DIR}/QuitDeadline.cpp
    ${CMAKE_CURRENT_LIST_DIR}/QuitSignalPipe.cpp
    ${CMAKE_CURRENT_LIST_DIR}/VornFirmwareUpdaterApplication.cpp
    ${CMAKE_CURRENT_LIST_DIR}/WineRepaintPump.cpp)
