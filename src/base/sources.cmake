list(APPEND VFU_CORE_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/AppLog.cpp
    ${CMAKE_CURRENT_LIST_DIR}/BuildConstants.cpp
    ${CMAKE_CURRENT_LIST_DIR}/InstrumentLock.cpp
    ${CMAKE_CURRENT_LIST_DIR}/LogFile.cpp
    ${CMAKE_CURRENT_LIST_DIR}/NameGuard.cpp
    ${CMAKE_CURRENT_LIST_DIR}/OutsideText.cpp
    ${CMAKE_CURRENT_LIST_DIR}/RegularFile.cpp
    ${CMAKE_CURRENT_LIST_DIR}/RunningExecutable.cpp
    ${CMAKE_CURRENT_LIST_DIR}/VersionNumber.cpp)
