list(APPEND VFU_RESOURCE_FILES
    ${CMAKE_CURRENT_LIST_DIR}/StateMachines.xml
    ${CMAKE_CURRENT_LIST_DIR}/StateMachinesConsole.xml
    ${CMAKE_CURRENT_LIST_DIR}/DejaVuSans-Latin.ttf
    ${CMAKE_CURRENT_LIST_DIR}/VornLogo.png)
