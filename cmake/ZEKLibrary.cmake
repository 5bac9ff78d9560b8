# zek_add_library(<name> SOURCES ... [PUBLIC_HEADERS ...] [LINKS ...] [PRIVATE_LINKS ...]
#                 [DEFINITIONS ...] [AUTOUIC])
#
# A static library of one folder. The folder's own files include each other's headers freely;
# every other target sees only PUBLIC_HEADERS. Those are linked into
# <build>/include/<name>/, which is the library's public include directory, so a header left off
# the list cannot be reached from outside by accident. A test that must look inside links
# <name>_internals, which adds the library's own folders.
#
# Qt's meta-object compiler runs on every library (AUTOMOC); AUTOUIC adds the form compiler.
function(zek_add_library name)
    cmake_parse_arguments(ARG "AUTOUIC" "" "SOURCES;PUBLIC_HEADERS;LINKS;PRIVATE_LINKS;DEFINITIONS"
                          ${ARGN})
    if(ARG_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "zek_add_library(${name}): unknown arguments ${ARG_UNPARSED_ARGUMENTS}")
    endif()

    add_library(${name} STATIC ${ARG_SOURCES})
    set_target_properties(${name} PROPERTIES AUTOMOC ON AUTOUIC ${ARG_AUTOUIC})
    # Every folder that holds one of its sources, so they include each other by file name.
    set(source_dirs)
    foreach(source ${ARG_SOURCES})
        get_filename_component(dir ${CMAKE_CURRENT_SOURCE_DIR}/${source} DIRECTORY)
        list(APPEND source_dirs ${dir})
    endforeach()
    list(REMOVE_DUPLICATES source_dirs)
    target_include_directories(${name} PRIVATE ${source_dirs})
    target_link_libraries(${name} PUBLIC ${ARG_LINKS} PRIVATE ${ARG_PRIVATE_LINKS})
    if(ARG_DEFINITIONS)
        target_compile_definitions(${name} PRIVATE ${ARG_DEFINITIONS})
    endif()

    if(ARG_PUBLIC_HEADERS)
        set(public_dir ${CMAKE_BINARY_DIR}/include/${name})
        file(REMOVE_RECURSE ${public_dir})
        file(MAKE_DIRECTORY ${public_dir})
        foreach(header ${ARG_PUBLIC_HEADERS})
            get_filename_component(header_name ${header} NAME)
            file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR}/${header} ${public_dir}/${header_name}
                 SYMBOLIC)
        endforeach()
        target_include_directories(${name} PUBLIC ${public_dir})
    endif()

    add_library(${name}_internals INTERFACE)
    target_include_directories(${name}_internals INTERFACE ${source_dirs})
    target_link_libraries(${name}_internals INTERFACE ${name})
endfunction()
