# qb_add_library(NAME DIRS dir... [SOURCES file...] [EXCLUDE file...] [DEPS target...])
# One static library per subsystem: the sources are every .cpp in the listed
# folders (re-globbed when files come and go), so adding a component is adding
# its files.
function(qb_add_library name)
    cmake_parse_arguments(ARG "" "" "DIRS;SOURCES;EXCLUDE;DEPS" ${ARGN})
    set(sources ${ARG_SOURCES})
    foreach(dir IN LISTS ARG_DIRS)
        file(GLOB found CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp)
        list(APPEND sources ${found})
    endforeach()
    foreach(ex IN LISTS ARG_EXCLUDE)
        list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${ex})
    endforeach()
    if(NOT sources)
        add_library(${name} INTERFACE)
        target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
        target_link_libraries(${name} INTERFACE ${ARG_DEPS})
        return()
    endif()
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# qb_add_tests(NAME DIRS dir... DEPS target... [LABELS label...])
# One GoogleTest executable per subsystem; each TEST is registered with CTest.
function(qb_add_tests name)
    cmake_parse_arguments(ARG "" "" "DIRS;DEPS;LABELS;PROPERTIES" ${ARGN})
    set(sources)
    foreach(dir IN LISTS ARG_DIRS)
        file(GLOB found CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp)
        list(APPEND sources ${found})
    endforeach()
    if(NOT sources)
        return()
    endif()
    add_executable(${name} ${sources} ${PROJECT_SOURCE_DIR}/tests/support/TestMain.cpp)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR}/tools)
    # Tests run on the simulated desktop where they do not start a real one.
    target_link_libraries(${name} PRIVATE ${ARG_DEPS} qb_platform_sim GTest::gmock GTest::gtest)
    target_compile_definitions(${name} PRIVATE
        QB_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
        QB_BINARY_DIR="${PROJECT_BINARY_DIR}"
        QB_FIXTURES_DIR="${PROJECT_SOURCE_DIR}/tests/fixtures")
    gtest_discover_tests(${name}
        DISCOVERY_TIMEOUT 60
        PROPERTIES LABELS "${ARG_LABELS}" ${ARG_PROPERTIES})
endfunction()
