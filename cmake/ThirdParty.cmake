# Third-party libraries built for Windows by scripts/bootstrap.sh into
# KORVEL_DEPS_PREFIX. All are static so that korvel.dll depends only on
# Windows system DLLs.
set(KORVEL_DEPS_PREFIX "${CMAKE_SOURCE_DIR}/build/deps/prefix" CACHE PATH
    "Where the bootstrap installed the Windows builds of the third-party libraries")

if(NOT EXISTS "${KORVEL_DEPS_PREFIX}/lib/libpugixml.a")
    message(FATAL_ERROR "Third-party libraries missing in ${KORVEL_DEPS_PREFIX}; run scripts/bootstrap.sh (make build does)")
endif()

function(korvel_import_static name library)
    add_library(${name} STATIC IMPORTED GLOBAL)
    set_target_properties(${name} PROPERTIES
        IMPORTED_LOCATION "${KORVEL_DEPS_PREFIX}/lib/${library}"
        INTERFACE_INCLUDE_DIRECTORIES "${KORVEL_DEPS_PREFIX}/include")
endfunction()

set(ZLIB_USE_STATIC_LIBS ON)
find_package(ZLIB REQUIRED)

korvel_import_static(pugixml libpugixml.a)
# The library's XML is UTF-16 throughout.
set_target_properties(pugixml PROPERTIES INTERFACE_COMPILE_DEFINITIONS PUGIXML_WCHAR_MODE)

korvel_import_static(minizip libminizip.a)
set_target_properties(minizip PROPERTIES INTERFACE_LINK_LIBRARIES ZLIB::ZLIB)

korvel_import_static(gtest libgtest.a)
korvel_import_static(gtest_main libgtest_main.a)
set_target_properties(gtest_main PROPERTIES INTERFACE_LINK_LIBRARIES gtest)
