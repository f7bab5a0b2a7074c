# Helpers for module libraries, programs and tests, and the compiler settings shared by all.
# SPDX-License-Identifier: MIT

set(VANT_DEPLOY_DIR ${PROJECT_BINARY_DIR}/deploy)
# The published plug-in header, vantorell/plugin.h, the only thing a plug-in is built against.
set(VANT_PLUGIN_INCLUDE_DIR ${PROJECT_SOURCE_DIR}/src/plugin-system/include)

set(VANT_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wimplicit-fallthrough)

# Source paths in log lines and assertions are printed relative to the source tree.
add_compile_options("-fmacro-prefix-map=${CMAKE_SOURCE_DIR}/=")

if(VANT_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
elseif(VANT_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
elseif(VANT_SANITIZE STREQUAL "fuzzer")
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
elseif(NOT VANT_SANITIZE STREQUAL "")
    message(FATAL_ERROR "Unknown VANT_SANITIZE value '${VANT_SANITIZE}'")
endif()

function(vant_apply_warnings target)
    # -Wnon-virtual-dtor means nothing to C (plug-ins may be written in C).
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${VANT_WARNINGS}>
        $<$<COMPILE_LANGUAGE:C>:-Wall -Wextra -Wpedantic -Wshadow -Wimplicit-fallthrough>)
    if(VANT_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

# vant_module(<folder> SOURCES <files...> [DEPENDS <targets...>] [PRIVATE_DEPENDS <targets...>])
# One folder of src/ is one static library, vant_<folder>; includes are rooted at src/.
function(vant_module name)
    cmake_parse_arguments(M "" "" "SOURCES;DEPENDS;PRIVATE_DEPENDS" ${ARGN})
    string(REPLACE "/" "_" target "vant_${name}")
    string(REPLACE "-" "_" target "${target}")
    add_library(${target} STATIC ${M_SOURCES})
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${target} PUBLIC ${M_DEPENDS} PRIVATE ${M_PRIVATE_DEPENDS})
    vant_apply_warnings(${target})
endfunction()

# vant_program(<name> SOURCES <files...> DEPENDS <targets...>)
# An installed executable of the deployment's bin/ directory.
function(vant_program name)
    cmake_parse_arguments(P "" "" "SOURCES;DEPENDS" ${ARGN})
    add_executable(${name} ${P_SOURCES})
    target_link_libraries(${name} PRIVATE ${P_DEPENDS})
    vant_apply_warnings(${name})
    # The build tree holds a runnable deployment directory, deploy/, laid out like an installation.
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${VANT_DEPLOY_DIR}/bin)
    install(TARGETS ${name} RUNTIME DESTINATION bin)
endfunction()

# vant_plugin(<module> SOURCES <files...> [OUTPUT_DIRECTORY <dir>] [NO_INSTALL])
# A plug-in library <module>.so, built against the published header alone (vantorell/plugin.h;
# no module library is linked), exporting only marloven_plugin_registration. By default it goes to
# the build's deploy/plugins and is installed to DEPLOYDIR/plugins; test plug-ins name their own
# directory and are not installed. A plug-in of plugins/<name>/ needs one line in its
# CMakeLists.txt, for example: vant_plugin(langplugin SOURCES langplugin.cc)
function(vant_plugin name)
    cmake_parse_arguments(P "NO_INSTALL" "OUTPUT_DIRECTORY" "SOURCES" ${ARGN})
    if(NOT P_OUTPUT_DIRECTORY)
        set(P_OUTPUT_DIRECTORY ${VANT_DEPLOY_DIR}/plugins)
    endif()
    add_library(${name} MODULE ${P_SOURCES})
    target_include_directories(${name} PRIVATE ${VANT_PLUGIN_INCLUDE_DIR})
    set_target_properties(${name} PROPERTIES
        PREFIX "" SUFFIX ".so"
        LIBRARY_OUTPUT_DIRECTORY ${P_OUTPUT_DIRECTORY}
        C_STANDARD 99 C_EXTENSIONS OFF
        C_VISIBILITY_PRESET hidden CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
    vant_apply_warnings(${name})
    if(NOT P_NO_INSTALL)
        install(TARGETS ${name} LIBRARY DESTINATION plugins)
    endif()
endfunction()

# vant_test(<module> SOURCES <files...> DEPENDS <targets...> [LABEL unit|integration|slow])
# One GoogleTest executable per module, vant_<module>_tests.
function(vant_test name)
    cmake_parse_arguments(T "" "LABEL" "SOURCES;DEPENDS" ${ARGN})
    if(NOT T_LABEL)
        set(T_LABEL unit)
    endif()
    string(REPLACE "/" "_" target "vant_${name}_tests")
    string(REPLACE "-" "_" target "${target}")
    add_executable(${target} ${T_SOURCES})
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
    target_link_libraries(${target} PRIVATE ${T_DEPENDS} GTest::gtest GTest::gmock GTest::gtest_main)
    vant_apply_warnings(${target})
    # Tests that start the installed programs find them through these two variables.
    target_compile_definitions(${target} PRIVATE
        VANT_BUILD_DIR="${PROJECT_BINARY_DIR}"
        VANT_DEPLOY_DIR="${VANT_DEPLOY_DIR}"
        VANT_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    gtest_discover_tests(${target}
        PROPERTIES LABELS ${T_LABEL}
        DISCOVERY_TIMEOUT 60
        # Cases of parameterised tests are named by their index: printed values of structs hold
        # raw bytes, pointers among them, which would change the names from build to build.
        NO_PRETTY_VALUES)
endfunction()
