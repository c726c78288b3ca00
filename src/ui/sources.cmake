list(APPEND VFU_CORE_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/AboutBox.cpp
    ${CMAKE_CURRENT_LIST_DIR}/EmbeddedFont.cpp
    ${CMAKE_CURRENT_LIST_DIR}/EngineRestart.cpp
    ${CMAKE_CURRENT_LIST_DIR}/MainComponent.cpp
    ${CMAKE_CURRENT_LIST_DIR}/PreferencesDialog.cpp
    ${CMAKE_CURRENT_LIST_DIR}/QuietProgressBar.cpp)
