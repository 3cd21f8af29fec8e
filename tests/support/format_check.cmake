# Fails when any C++ source of the project is not formatted by its .clang-format.
file(GLOB_RECURSE sources
    ${SOURCE_DIR}/app/*.cpp ${SOURCE_DIR}/app/*.h
    ${SOURCE_DIR}/bench/*.cpp ${SOURCE_DIR}/bench/*.h
    ${SOURCE_DIR}/client/*.cpp ${SOURCE_DIR}/client/*.h
    ${SOURCE_DIR}/config/*.cpp ${SOURCE_DIR}/config/*.h
    ${SOURCE_DIR}/diagnostics/*.cpp ${SOURCE_DIR}/diagnostics/*.h
    ${SOURCE_DIR}/frames/*.cpp ${SOURCE_DIR}/frames/*.h
    ${SOURCE_DIR}/networkdriver/*.cpp ${SOURCE_DIR}/networkdriver/*.h
    ${SOURCE_DIR}/publish/*.cpp ${SOURCE_DIR}/publish/*.h
    ${SOURCE_DIR}/relay/*.cpp ${SOURCE_DIR}/relay/*.h
    ${SOURCE_DIR}/relayd/*.cpp ${SOURCE_DIR}/relayd/*.h
    ${SOURCE_DIR}/scope/*.cpp ${SOURCE_DIR}/scope/*.h
    ${SOURCE_DIR}/service/*.cpp ${SOURCE_DIR}/service/*.h
    ${SOURCE_DIR}/testkit/*.cpp ${SOURCE_DIR}/testkit/*.h
    ${SOURCE_DIR}/tests/*.cpp ${SOURCE_DIR}/tests/*.h
    ${SOURCE_DIR}/tools/*.cpp ${SOURCE_DIR}/tools/*.h
    ${SOURCE_DIR}/usb/*.cpp ${SOURCE_DIR}/usb/*.h
    ${SOURCE_DIR}/usbbench/*.cpp ${SOURCE_DIR}/usbbench/*.h
    ${SOURCE_DIR}/fuzz/*.cpp ${SOURCE_DIR}/fuzz/*.h)
execute_process(
    COMMAND ${CLANG_FORMAT} --dry-run -Werror ${sources}
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "Some sources are not formatted; run: clang-format -i <file>")
endif()
