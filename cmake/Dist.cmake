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

set(KORVEL_DIST_COMMAND
    ${KORVEL_PYTHON} ${CMAKE_SOURCE_DIR}/scripts/make-dist.py
    --name ${KORVEL_DIST_NAME}
    --dll $<TARGET_FILE:korvel>
    --import-library $<TARGET_LINKER_FILE:korvel>
    --def ${CMAKE_SOURCE_DIR}/api/korvel.def
    --cli $<TARGET_FILE:korvel-cli>
    ${korvel_dist_header_arguments}
    --doc API.md=${CMAKE_SOURCE_DIR}/docs/API.md
    --doc korvel-cli.md=${CMAKE_SOURCE_DIR}/tools/korvel-cli/README.md
    --licenses ${KORVEL_DEPS_PREFIX}/licenses
    --readme ${CMAKE_BINARY_DIR}/dist-README.txt
    --objcopy ${CMAKE_OBJCOPY}
    --dlltool ${KORVEL_LLVM_DLLTOOL})

add_custom_target(dist
    COMMAND ${KORVEL_DIST_COMMAND} --out ${CMAKE_BINARY_DIR}/dist
    COMMENT "Packaging ${KORVEL_DIST_NAME}.zip"
    VERBATIM)
add_dependencies(dist korvel korvel-cli)
