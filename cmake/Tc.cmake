# Helpers shared by every CMakeLists of the project.
include(GoogleTest)

if(TC_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Our own code builds warning-free; third-party headers come in as system
# includes. Warnings stop the build only with TC_WERROR (the test command's
# builds): someone who only builds the station with another compiler or
# library version must not be stopped by a diagnostic we never saw.
function(tc_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(TC_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  # gcc 12 reports -Wrestrict inside libstdc++'s std::string code once it is
  # inlined at -O3 (operator+ and assign from a literal; a known false
  # positive, gone in gcc 13). Only that compiler loses the diagnostic.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_GREATER_EQUAL 12
     AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
endfunction()

# tc_library(<name> <sources...>): one static library of a layer; includes are
# written from src/, e.g. #include "engine/VeltTable.h".
function(tc_library name)
  add_library(${name} STATIC ${ARGN})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  tc_warnings(${name})
endfunction()

# tc_test(<name> SOURCES ... [LIBS ...] [TIMEOUT s] [LABELS ...])
# A GoogleTest executable whose tests are registered with CTest one by one.
function(tc_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  tc_warnings(${name})
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
endfunction()

# tc_fuzzer(<name> <sources...> LIBS ...): a libFuzzer target, built only with TC_FUZZ.
function(tc_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src)
  tc_warnings(${name})
endfunction()

# tc_qt_test(<name> SOURCES ... [LIBS ...] [TIMEOUT s] [CORE])
# A GoogleTest executable run inside a QApplication (offscreen platform), or a
# QCoreApplication with CORE. Qt Test's event helpers (QTest::mouseClick,
# QSignalSpy, QTest::qWaitFor) are linked in.
function(tc_qt_test name)
  cmake_parse_arguments(T "CORE" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES} ${PROJECT_SOURCE_DIR}/tests/support/QtTestMain.cpp)
  if(T_CORE)
    find_package(Qt6 REQUIRED COMPONENTS Core Test)
    target_compile_definitions(${name} PRIVATE TC_QT_CORE_ONLY)
    target_link_libraries(${name} PRIVATE Qt6::Core Qt6::Test)
  else()
    find_package(Qt6 REQUIRED COMPONENTS Widgets Test)
    target_link_libraries(${name} PRIVATE Qt6::Widgets Qt6::Test)
  endif()
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  tc_warnings(${name})
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}" ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()

# tc_pdf_tools(<target>)
# Printed reports are PDFs read back with poppler-utils: the target gets
# TC_PDFTOTEXT, TC_PDFINFO and TC_PDFFONTS, each the tool's path or empty when
# it is not installed (the printing tests then skip).
function(tc_pdf_tools target)
  foreach(tool pdftotext pdfinfo pdffonts)
    string(TOUPPER ${tool} var)
    find_program(TC_${var} ${tool})
    if(NOT TC_${var})
      set(TC_${var} "")
    endif()
    target_compile_definitions(${target} PRIVATE TC_${var}="${TC_${var}}")
  endforeach()
endfunction()
