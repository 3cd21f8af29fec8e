# Fails when any C++ source of the project is not formatted by its .clang-format. The files are the ones
# git knows (tracked, or new and not ignored), so a new folder is checked without being listed here.
execute_process(
    COMMAND git ls-files --cached --others --exclude-standard -- *.cpp *.h
    WORKING_DIRECTORY ${SOURCE_DIR}
    OUTPUT_VARIABLE listed
    RESULT_VARIABLE listed_result)
if(listed_result EQUAL 0 AND NOT listed STREQUAL "")
    string(REPLACE "\n" ";" sources "${listed}")
    list(FILTER sources EXCLUDE REGEX "^$")
    list(TRANSFORM sources PREPEND ${SOURCE_DIR}/)
else()
    # Not a git checkout (a source archive): every C++ file under the tree but the builds.
    file(GLOB_RECURSE sources ${SOURCE_DIR}/*.cpp ${SOURCE_DIR}/*.h)
    list(FILTER sources EXCLUDE REGEX "^${SOURCE_DIR}/build/")
endif()
list(FILTER sources INCLUDE REGEX "\\.(cpp|h)$")
list(LENGTH sources count)
if(count EQUAL 0)
    message(FATAL_ERROR "No C++ source found under ${SOURCE_DIR}")
endif()
execute_process(
    COMMAND ${CLANG_FORMAT} --dry-run -Werror ${sources}
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "Some sources are not formatted; run: clang-format -i <file>")
endif()
message(STATUS "${count} sources formatted")
