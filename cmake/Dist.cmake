# `make dist`: the release archive for host developers, build/dist/
# korvel-<version>-win64.zip. scripts/make-dist.py packages the korvel.dll and
# korvel-cli.exe of this build; nothing is compiled a second time.
# KORVEL_DIST_COMMAND is that packaging without its --out folder, so that the
# tests can package the same build into folders of their own.
set(KORVEL_DIST_NAME korvel-${PROJECT_VERSION}-win64)

# Debian's interpreter, whose zlib the archive's compressed bytes depend on.
find_program(KORVEL_PYTHON python3 HINTS /usr/bin REQUIRED)
# Writes import libraries in the format of Microsoft's lib.exe.
find_program(KORVEL_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 REQUIRED)

get_target_property(korvel_public_headers korvel PUBLIC_HEADER)
set(korvel_dist_header_names)
set(korvel_dist_header_arguments)
foreach(header IN LISTS korvel_public_headers)
    cmake_path(GET header FILENAME name)
    list(APPEND korvel_dist_header_names ${name})
    list(APPEND korvel_dist_header_arguments --header ${header})
endforeach()

list(JOIN korvel_dist_header_names ", " KORVEL_DIST_HEADER_NAMES)
configure_file(${CMAKE_SOURCE_DIR}/scripts/dist-README.txt.in
               ${CMAKE_BINARY_DIR}/dist-README.txt @ONLY)

# The packages that find the library from the archive's own folder: CMake's
# (find_package(korvel CONFIG)) and pkg-config's.
include(CMakePackageConfigHelpers)
set(korvel_dist_generated ${CMAKE_BINARY_DIR}/generated/dist)
write_basic_package_version_file(${korvel_dist_generated}/korvel-config-version.cmake
    COMPATIBILITY SameMajorVersion)
configure_file(${CMAKE_SOURCE_DIR}/cmake/korvel.pc.in ${korvel_dist_generated}/korvel.pc @ONLY)

# Archive path = file, for everything that is copied as it is.
set(korvel_dist_files
    docs/API.md=${CMAKE_SOURCE_DIR}/docs/API.md
    docs/korvel-cli.md=${CMAKE_SOURCE_DIR}/docs/korvel-cli.md
    cmake/mingw-w64-x86_64.cmake=${CMAKE_SOURCE_DIR}/cmake/dist/mingw-w64-x86_64.cmake
    tools/package-signing/sign-package.py=${CMAKE_SOURCE_DIR}/tools/package-signing/sign-package.py
    lib/cmake/korvel/korvel-config.cmake=${CMAKE_SOURCE_DIR}/cmake/korvel-config.cmake
    lib/cmake/korvel/korvel-config-version.cmake=${korvel_dist_generated}/korvel-config-version.cmake
    lib/pkgconfig/korvel.pc=${korvel_dist_generated}/korvel.pc)
foreach(name CMakeLists.txt check-for-updates.c)
    list(APPEND korvel_dist_files
         examples/check-for-updates/${name}=${CMAKE_SOURCE_DIR}/examples/check-for-updates/${name})
endforeach()
list(TRANSFORM korvel_dist_files PREPEND --file= OUTPUT_VARIABLE korvel_dist_file_arguments)

set(KORVEL_DIST_COMMAND
    ${KORVEL_PYTHON} ${CMAKE_SOURCE_DIR}/scripts/make-dist.py
    --name ${KORVEL_DIST_NAME}
    --dll $<TARGET_FILE:korvel>
    --import-library $<TARGET_LINKER_FILE:korvel>
    --def ${CMAKE_SOURCE_DIR}/api/korvel.def
    --cli $<TARGET_FILE:korvel-cli>
    ${korvel_dist_header_arguments}
    ${korvel_dist_file_arguments}
    --licenses ${KORVEL_DEPS_PREFIX}/licenses
    --readme ${CMAKE_BINARY_DIR}/dist-README.txt
    --objcopy ${CMAKE_OBJCOPY}
    --dlltool ${KORVEL_LLVM_DLLTOOL})

add_custom_target(dist
    COMMAND ${KORVEL_DIST_COMMAND} --out ${CMAKE_BINARY_DIR}/dist
    COMMENT "Packaging ${KORVEL_DIST_NAME}.zip"
    VERBATIM)
add_dependencies(dist korvel korvel-cli)
