# The CMake package of korvel's release archive, in lib/cmake/korvel/:
#
#   find_package(korvel CONFIG REQUIRED)
#   target_link_libraries(app PRIVATE korvel::korvel)
#   korvel_copy_dll(app)
#
# Every path is taken from this file's place, so the archive works wherever it
# is unpacked.
get_filename_component(_korvel_root "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)

if(NOT TARGET korvel::korvel)
    add_library(korvel::korvel SHARED IMPORTED)
    # Microsoft's linker reads korvel.lib; MinGW-w64's linkers read the GNU
    # format of libkorvel.dll.a.
    if(MSVC)
        set(_korvel_import_library "${_korvel_root}/lib/korvel.lib")
    else()
        set(_korvel_import_library "${_korvel_root}/lib/libkorvel.dll.a")
    endif()
    set_target_properties(korvel::korvel PROPERTIES
        IMPORTED_LOCATION "${_korvel_root}/bin/korvel.dll"
        IMPORTED_IMPLIB "${_korvel_import_library}"
        INTERFACE_INCLUDE_DIRECTORIES "${_korvel_root}/include"
        # VariantInit and VariantClear, for the VARIANT outputs.
        INTERFACE_LINK_LIBRARIES oleaut32)
    unset(_korvel_import_library)
endif()
unset(_korvel_root)

# korvel_copy_dll(<target>) copies korvel.dll beside <target>'s program after
# each build of it.
function(korvel_copy_dll target)
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E copy_if_different
                $<TARGET_FILE:korvel::korvel> $<TARGET_FILE_DIR:${target}>
        VERBATIM)
endfunction()
