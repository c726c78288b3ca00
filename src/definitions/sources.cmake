list(APPEND VFU_CORE_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/DefinitionsDocument.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ExpatDocumentCheck.cpp
    ${CMAKE_CURRENT_LIST_DIR}/InbuiltDefinitions.cpp
    ${CMAKE_CURRENT_LIST_DIR}/UpdaterDefinitions.cpp)
