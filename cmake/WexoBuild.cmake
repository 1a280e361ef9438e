# Shared build settings: warnings as errors for our own code, sanitizer flags, library helper.

if(WEXO_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
elseif(WEXO_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
elseif(NOT WEXO_SANITIZE STREQUAL "")
    message(FATAL_ERROR "WEXO_SANITIZE must be address, thread or empty")
endif()

if(WEXO_FUZZ)
    # Coverage for every library the fuzz targets reach; the targets themselves add the runtime.
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()

if(FALSE)
    message(FATAL_ERROR "WEXO_SANITIZE must be address, thread or empty")
endif()

function(wexo_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Werror -Wshadow
                           -Wnon-virtual-dtor -Wno-missing-field-initializers)
endfunction()

# wexo_library(name folder [EXCLUDE subfolder]): a static library of every .cpp below the folder.
function(wexo_library name folder)
    cmake_parse_arguments(ARG "" "EXCLUDE" "" ${ARGN})
    file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.cpp)
    if(ARG_EXCLUDE)
        list(FILTER sources EXCLUDE REGEX "^${CMAKE_SOURCE_DIR}/${ARG_EXCLUDE}/")
    endif()
    if(NOT sources)
        # A layer that has no code yet still links.
        set(placeholder ${CMAKE_BINARY_DIR}/generated/${name}_empty.cpp)
        file(WRITE ${placeholder} "")
        set(sources ${placeholder})
    endif()
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
    wexo_warnings(${name})
endfunction()
