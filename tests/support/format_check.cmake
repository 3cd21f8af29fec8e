# Fails when any C++ source of the project is not formatted by its .clang-format.
file(GLOB_RECURSE sources
    ${SOURCE_DIR}/app/*.cpp ${SOURCE_DIR}/app/*.h
    ${SOURCE_DIR}/bench/*.cpp ${SOURCE_DIR}/bench/*.h
    ${SOURCE_DIR}/clientkit/cpp/*.cpp ${SOURCE_DIR}/clientkit/cpp/*.h
    ${SOURCE_DIR}/config/*.cpp ${SOURCE_DIR}/config/*.h
    ${SOURCE_DIR}/diagnostics/*.cpp ${SOURCE_DIR}/diagnostics/*.h
    ${SOURCE_DIR}/frames/*.cpp ${SOURCE_DIR}/frames/*.h
    ${SOURCE_DIR}/networkdriver/*.cpp ${SOURCE_DIR}/networkdriver/*.h
    ${SOURCE_DIR}/publish/*.cpp ${SOURCE_DIR}/publish/*.h
    ${SOURCE_DIR}/relay/*.cpp ${SOURCE_DIR}/relay/*.h
    ${SOURCE_DIR}/programs/*.cpp ${SOURCE_DIR}/programs/*.h
    ${SOURCE_DIR}/scope/*.cpp ${SOURCE_DIR}/scope/*.h
    ${SOURCE_DIR}/core/*.cpp ${SOURCE_DIR}/core/*.h
    ${SOURCE_DIR}/tests/kit/*.cpp ${SOURCE_DIR}/tests/kit/*.h
    ${SOURCE_DIR}/tests/*.cpp ${SOURCE_DIR}/tests/*.h
    ${SOURCE_DIR}/tools/*.cpp ${SOURCE_DIR}/tools/*.h
    ${SOURCE_DIR}/usb/*.cpp ${SOURCE_DIR}/usb/*.h
    ${SOURCE_DIR}/tests/usbbench/*.cpp ${SOURCE_DIR}/tests/usbbench/*.h
    ${SOURCE_DIR}/tests/fuzz/*.cpp ${SOURCE_DIR}/tests/fuzz/*.h)
execute_process(
    COMMAND ${CLANG_FORMAT} --dry-run -Werror ${sources}
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "Some sources are not formatted; run: clang-format -i <file>")
endif()
