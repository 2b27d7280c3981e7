# Helpers that give every module, test and benchmark the same shape.

# A loadable module: NAME.so in bin/, no "lib" prefix, C exports visible.
function(vevidor_module name)
    add_library(${name} MODULE ${ARGN})
    set_target_properties(${name} PROPERTIES PREFIX "" SUFFIX ".so")
endfunction()

# A subsystem library, part of gatecore.
function(vevidor_library name)
    add_library(${name} STATIC ${ARGN})
    target_link_libraries(gatecore INTERFACE ${name})
endfunction()

# A GoogleTest executable in tests/ that finds the modules in bin/ and is registered with CTest.
#   vevidor_test(name SOURCES a.cpp b.cpp LIBS vev_packet)
function(vevidor_test name)
    cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
    set_target_properties(${name} PROPERTIES
        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests
        BUILD_RPATH "${VEVIDOR_BIN_DIR}")
    include(GoogleTest)
    gtest_discover_tests(${name} WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/tests
        PROPERTIES ENVIRONMENT "VEVIDOR_BIN=${VEVIDOR_BIN_DIR}"
            ENVIRONMENT_MODIFICATION "LD_LIBRARY_PATH=set:${VEVIDOR_BIN_DIR}" TIMEOUT 120
        DISCOVERY_TIMEOUT 30)
endfunction()

# A Google Benchmark executable in bench/.
#   vevidor_bench(name SOURCES a.cpp LIBS vev_packet)
function(vevidor_bench name)
    cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ${T_LIBS} benchmark::benchmark)
    set_target_properties(${name} PROPERTIES
        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench
        BUILD_RPATH "${VEVIDOR_BIN_DIR}")
endfunction()
